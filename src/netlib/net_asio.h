// The Boost.Asio headers the network library uses. Under ThreadSanitizer, GCC warns that Asio's
// handler fences are invisible to it; Asio's queues synchronise through mutexes, which it sees,
// so that warning is silenced here for every file that includes Asio.
#pragma once

#if defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
