// faxtool info: a fax file's header and what decoding each page gives.
#pragma once

// argv[0] is "info". Returns the exit status.
int run_info(int argc, char **argv);
