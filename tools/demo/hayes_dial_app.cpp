// The dial-up session of tools/examples, as one step of the demo.
#define main demo_hayes_dial_main
#include "../examples/hayes_dial.cpp"
