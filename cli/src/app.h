// bxso-host's command line.
#pragma once

namespace bxhost {

// Parses the arguments, runs the command and returns the exit code.
int runApp(int argc, char** argv);

}  // namespace bxhost
