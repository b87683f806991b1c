// pallix: administers a running ostrum through its control channel.
#include "client/client_program.h"

int main(int argc, char** argv) { return norvane::pallix_main(argc, argv); }
