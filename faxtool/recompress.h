// faxtool recompress: the library's in-place recoding of fax files.
#pragma once

// argv[0] is "recompress". Returns the exit status.
int run_recompress(int argc, char **argv);
