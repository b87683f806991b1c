// The velisk program as a function, so that the program's main and the tests
// run the same start-up. GUI thread only.
#pragma once

namespace norvane {

// Runs velisk: single instance, language, main window, server thread, the
// event loop and the exit sequence. Returns the exit code (0).
int velisk_main(int argc, char** argv);

}  // namespace norvane
