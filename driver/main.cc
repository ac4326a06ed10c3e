#include "driver/txt2sheet.h"

int main(int argc, char **argv) { return txt2sheetmain(argc, argv); }
