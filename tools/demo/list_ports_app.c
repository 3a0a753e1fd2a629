/* The port listing of tools/examples, as one step of the demo. */
#define main demo_list_ports_main
#include "../examples/list_ports.c"
