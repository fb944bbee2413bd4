#pragma once

#include <string>

namespace orv {

// The whole life of the orv_ticker process; returns its exit code.
int ticker_service_main(int argc, char** argv);

// True for the command-line words that ask to register or unregister the service, in any case.
bool is_registration_word(const std::string& argument);

}  // namespace orv
