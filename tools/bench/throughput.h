// The data path's throughput in virtual time on the simulated full-speed bus.
#pragma once

// Prints the table; false when a run lost or reordered a byte or faulted.
bool PrintThroughputTable(unsigned seeds);
