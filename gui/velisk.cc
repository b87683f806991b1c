// velisk: the DNS server with its operator window.
#include "gui/velisk_app.h"

int main(int argc, char** argv) { return norvane::velisk_main(argc, argv); }
