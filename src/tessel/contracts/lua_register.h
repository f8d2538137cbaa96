// Typed registration of native functions as Lua 5.1 globals: a function pointer or lambda is
// wrapped so that its Lua arguments are converted to the parameter types, a wrong or missing
// argument raises a Lua error, and the result is pushed back. Use on the thread owning the state.
//
//   luareg::def<&ShowTop>(L, "ShowTop");                      // no per-call indirection
//   luareg::def(L, "SetValue", [this](const char* k, int v) { ... });
//   Tlua_Funcs table[] = {{"Foo", luareg::cfunction<&Foo>}, {nullptr, nullptr}};
//
// Parameter types: const char*, std::string (also by const reference), std::string_view, every
// integer type, bool, double, float, and lua_State* (the calling state, takes no Lua argument).
//  - integers take a number or a numeric string, truncated toward zero; a value outside the
//    type's range (a negative one for unsigned types) is an error, never a wrapped value;
//  - bool takes a boolean or a number (non-zero is true);
//  - strings take a string or a number (Lua's own conversion);
//  - arguments beyond the parameters are ignored, as Lua functions do.
// Result types: void (no result), integers, bool, double, float, const char* (null gives nil),
// std::string. A C++ exception escaping the function becomes a Lua error with its message.
// A raw lua_CFunction given to def() is registered unchanged.
//
// Arguments are all checked before any of them is converted, and a std::string result is pushed
// once no C++ object is left (held until then by a userdata the call makes), so a Lua error (a
// longjmp in Lua 5.1, also a push refused memory) never skips a C++ destructor. A call allocates
// nothing beyond what the parameter and result types themselves need (std::string only).
#pragma once

#include <lua.hpp>

#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace luareg {
namespace detail {

constexpr double pow2(int bits) {
  double v = 1.0;
  for (int k = 0; k < bits; ++k) v *= 2.0;
  return v;
}

// Conversion of one Lua argument to a parameter type. `consumes` is the number of Lua
// arguments taken; `check` raises the Lua error; `get` converts a checked argument.
template <class T, class Enable = void>
struct arg;

template <class T>
struct arg<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static constexpr int consumes = 1;
  static void check(lua_State* L, int i) {
    if (!lua_isnumber(L, i)) luaL_typerror(L, i, lua_typename(L, LUA_TNUMBER));
    const double d = lua_tonumber(L, i);
    constexpr double hi = pow2(std::numeric_limits<T>::digits);
    constexpr double lo = std::is_signed_v<T> ? -hi : 0.0;
    if (!(d >= lo && d < hi)) luaL_argerror(L, i, "number out of range");
  }
  static T get(lua_State* L, int i) { return static_cast<T>(lua_tonumber(L, i)); }
};

template <class T>
struct arg<T, std::enable_if_t<std::is_floating_point_v<T>>> {
  static constexpr int consumes = 1;
  static void check(lua_State* L, int i) {
    if (!lua_isnumber(L, i)) luaL_typerror(L, i, lua_typename(L, LUA_TNUMBER));
  }
  static T get(lua_State* L, int i) { return static_cast<T>(lua_tonumber(L, i)); }
};

template <>
struct arg<bool> {
  static constexpr int consumes = 1;
  static void check(lua_State* L, int i) {
    const int t = lua_type(L, i);
    if (t != LUA_TBOOLEAN && t != LUA_TNUMBER) luaL_typerror(L, i, lua_typename(L, LUA_TBOOLEAN));
  }
  static bool get(lua_State* L, int i) {
    if (lua_type(L, i) == LUA_TNUMBER) return lua_tonumber(L, i) != 0;
    return lua_toboolean(L, i) != 0;
  }
};

struct string_check {
  static constexpr int consumes = 1;
  static void check(lua_State* L, int i) {
    if (!lua_isstring(L, i)) luaL_typerror(L, i, lua_typename(L, LUA_TSTRING));
  }
};

template <>
struct arg<const char*> : string_check {
  static const char* get(lua_State* L, int i) { return lua_tostring(L, i); }
};

template <>
struct arg<std::string_view> : string_check {
  static std::string_view get(lua_State* L, int i) {
    std::size_t n = 0;
    const char* s = lua_tolstring(L, i, &n);
    return {s, n};
  }
};

template <>
struct arg<std::string> : string_check {
  static std::string get(lua_State* L, int i) {
    std::size_t n = 0;
    const char* s = lua_tolstring(L, i, &n);
    return std::string(s, n);
  }
};

template <>
struct arg<lua_State*> {
  static constexpr int consumes = 0;
  static void check(lua_State*, int) {}
  static lua_State* get(lua_State* L, int) { return L; }
};

// Pushing a result; returns the number of values pushed.
template <class R>
int push(lua_State* L, const R& r) {
  if constexpr (std::is_same_v<R, bool>) {
    lua_pushboolean(L, r ? 1 : 0);
  } else if constexpr (std::is_arithmetic_v<R>) {
    lua_pushnumber(L, static_cast<lua_Number>(r));
  } else if constexpr (std::is_same_v<R, const char*> || std::is_same_v<R, char*>) {
    if (r == nullptr) {
      lua_pushnil(L);
    } else {
      lua_pushstring(L, r);
    }
  } else {
    static_assert(std::is_same_v<R, std::string> || std::is_same_v<R, std::string_view>,
                  "unsupported result type");
    lua_pushlstring(L, r.data(), r.size());
  }
  return 1;
}

// Stack position of each parameter (lua_State* parameters take none).
template <class... A>
struct positions {
  static constexpr std::array<int, sizeof...(A)> make() {
    std::array<int, sizeof...(A)> p{};
    int next = 1;
    std::size_t k = 0;
    ((p[k++] = next, next += arg<A>::consumes), ...);
    (void)next;
    (void)k;
    return p;
  }
  static constexpr std::array<int, sizeof...(A)> value = make();
};

// Signature of a callable: function pointers and the call operator of lambdas.
template <class T>
struct sig : sig<decltype(&T::operator())> {};
template <class R, class... A>
struct sig<R (*)(A...)> {
  using ret = R;
  template <template <class, class...> class X>
  using apply = X<R, std::decay_t<A>...>;
};
template <class R, class... A>
struct sig<R (*)(A...) noexcept> : sig<R (*)(A...)> {};
template <class C, class R, class... A>
struct sig<R (C::*)(A...)> : sig<R (*)(A...)> {};
template <class C, class R, class... A>
struct sig<R (C::*)(A...) const> : sig<R (*)(A...)> {};
template <class C, class R, class... A>
struct sig<R (C::*)(A...) noexcept> : sig<R (*)(A...)> {};
template <class C, class R, class... A>
struct sig<R (C::*)(A...) const noexcept> : sig<R (*)(A...)> {};

inline void copy_message(char* out, std::size_t size, const char* msg) {
  std::strncpy(out, msg, size - 1);
  out[size - 1] = '\0';
}

// A std::string result on its way to Lua, held by a userdata of the call until it is pushed: a
// push refused memory under a state's cap (a Lua error, a longjmp in Lua 5.1) skipped the
// destructors of the result and of the std::string arguments, and each refused call lost them
// to the process for good. Now no C++ object lives at the push; the collector frees the text
// with its box.
struct text_box {
  std::string* text = nullptr;
  ~text_box() { delete text; }
};

// Sets the metatable that destroys a T (a userdata on top) when it is collected.
template <class T>
void set_gc_metatable(lua_State* L);

inline text_box* new_text_box(lua_State* L) {
  auto* box = new (lua_newuserdata(L, sizeof(text_box))) text_box;
  set_gc_metatable<text_box>(L);
  return box;
}

inline int push_text(lua_State* L, text_box* box) {
  lua_pushlstring(L, box->text->data(), box->text->size());
  delete box->text;
  box->text = nullptr;
  return 1;
}

template <class R, class... A>
struct invoker {
  template <class F, std::size_t... I>
  static int call(lua_State* L, F& f, std::index_sequence<I...>) {
    constexpr auto& pos = positions<A...>::value;
    (arg<A>::check(L, pos[I]), ...);
    text_box* box = nullptr;
    if constexpr (std::is_same_v<R, std::string>) box = new_text_box(L);
    // Everything with a destructor lives inside this block; the Lua error is raised after it.
    char error[256];
    error[0] = '\0';
    int results = 0;
    try {
      if constexpr (std::is_void_v<R>) {
        f(arg<A>::get(L, pos[I])...);
      } else if constexpr (std::is_same_v<R, std::string>) {
        box->text = new std::string(f(arg<A>::get(L, pos[I])...));
      } else {
        results = push(L, f(arg<A>::get(L, pos[I])...));
      }
    } catch (const std::exception& e) {
      copy_message(error, sizeof error, e.what()[0] ? e.what() : "native exception");
    } catch (...) {
      copy_message(error, sizeof error, "native exception");
    }
    if (error[0] != '\0') return luaL_error(L, "%s", error);
    if constexpr (std::is_same_v<R, std::string>) results = push_text(L, box);
    return results;
  }
  template <class F>
  static int run(lua_State* L, F& f) {
    return call(L, f, std::index_sequence_for<A...>{});
  }
};

template <auto Fn>
int static_thunk(lua_State* L) {
  auto f = Fn;
  return sig<decltype(Fn)>::template apply<invoker>::run(L, f);
}

template <class F>
int closure_thunk(lua_State* L) {
  F* f = static_cast<F*>(lua_touserdata(L, lua_upvalueindex(1)));
  return sig<F>::template apply<invoker>::run(L, *f);
}

template <class F>
int gc_thunk(lua_State* L) {
  static_cast<F*>(lua_touserdata(L, 1))->~F();
  return 0;
}

// One registry key per callable type, for the metatable that destroys it.
template <class F>
inline char gc_key;

template <class T>
void set_gc_metatable(lua_State* L) {
  lua_pushlightuserdata(L, &gc_key<T>);
  lua_rawget(L, LUA_REGISTRYINDEX);
  if (lua_isnil(L, -1)) {
    lua_pop(L, 1);
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, &gc_thunk<T>);
    lua_setfield(L, -2, "__gc");
    lua_pushlightuserdata(L, &gc_key<T>);
    lua_pushvalue(L, -2);
    lua_rawset(L, LUA_REGISTRYINDEX);
  }
  lua_setmetatable(L, -2);
}

}  // namespace detail

namespace detail {
template <auto Fn>
constexpr lua_CFunction pick() {
  if constexpr (std::is_same_v<decltype(Fn), lua_CFunction>) {
    return Fn;
  } else {
    return &static_thunk<Fn>;
  }
}
}  // namespace detail

// The lua_CFunction that calls Fn with converted arguments (for Tlua_Funcs tables); a raw
// lua_CFunction is used unchanged.
template <auto Fn>
inline constexpr lua_CFunction cfunction = detail::pick<Fn>();

// Registers the function Fn as the global `name`.
template <auto Fn>
void def(lua_State* L, const char* name) {
  lua_pushcfunction(L, cfunction<Fn>);
  lua_setglobal(L, name);
}

// Pushes a callable (lambda or function pointer) as a Lua function; the state keeps a copy of
// it and destroys that copy when the function is collected.
template <class F>
void push_function(lua_State* L, F f) {
  using T = std::decay_t<F>;
  if constexpr (std::is_same_v<T, lua_CFunction>) {
    lua_pushcfunction(L, f);
  } else {
    static_assert(alignof(T) <= alignof(double), "callable needs a stricter alignment");
    void* mem = lua_newuserdata(L, sizeof(T));
    new (mem) T(std::move(f));
    if constexpr (!std::is_trivially_destructible_v<T>) detail::set_gc_metatable<T>(L);
    lua_pushcclosure(L, &detail::closure_thunk<T>, 1);
  }
}

// Registers a callable (lambda or function pointer) as the global `name`.
template <class F>
void def(lua_State* L, const char* name, F f) {
  push_function(L, std::move(f));
  lua_setglobal(L, name);
}

}  // namespace luareg
