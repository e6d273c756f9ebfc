// faxtool import: a new fax file from the pages of images.
#pragma once

// argv[0] is "import". Returns the exit status.
int run_import(int argc, char **argv);
