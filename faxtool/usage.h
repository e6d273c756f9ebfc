// Help texts, the version and usage errors (exit status 2).
#pragma once

// Prints the help of a command ("info", ...) or of faxtool itself (null)
// on standard output; returns 0.
int print_command_help(const char *command);
int print_version();

// "faxtool: COMMAND: reason" and a pointer to --help; returns 2.
int usage_error(const char *command, const char *reason);
// The usage error for what getopt_long returned ('?' or ':').
int option_error(const char *command, int c, char **argv);
