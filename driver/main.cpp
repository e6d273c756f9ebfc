#include "driver/pelmorin.h"

int main(int argc, char **argv) { return pelmorin_main(argc, argv); }
