// ostrum: the DNS engine as a system service or in a console.
#include "service/service_frame.h"

int main(int argc, char** argv) { return norvane::ostrum_main(argc, argv); }
