#include "host/program.h"

int main(int argc, char** argv) { return orv::ticker_service_main(argc, argv); }
