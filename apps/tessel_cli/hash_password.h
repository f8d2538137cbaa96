// tessel_cli --hash-password: reads a password from the terminal (asked twice, not echoed) or
// the first line of standard input, and prints the value an account file's "password" key may
// hold in place of the clear password. Main thread.
#pragma once

// The subcommand (argv[0] is its name; it takes no further words): reads, hashes and prints;
// the exit code (1 when no password could be had or hashed, 64 for further words).
int RunHashPassword(int argc, char** argv);
