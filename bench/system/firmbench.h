// Workloads that run the firmware inside the driver's own process, on the
// host platform: the host link's throughput each way with a stand-in router,
// and the pace of virtual time of an idle and of a configured board. Each
// runs in a child process of the driver (a fresh kernel, nothing shared with
// the relays) and reports "key value" lines that the parent turns into table
// rows.
#pragma once

#include <string>
#include <vector>

#include "kernel.h"
#include "report.h"

// Child side: runs the named workload ("hostlink", "virtual" or
// "virtual-configured") for about `seconds` of measurement and prints its
// figures on standard output.
int firmwareChildMain(const std::string& workload, double seconds);
int virtualConfiguredChild(double seconds);  // virtualboard.cpp
// A firmware task with the workloads' stack; the child ends when it cannot be made.
void spawnTask(TaskFxn fxn, int priority, const char* name);

// Parent side: runs the child and appends its rows.
void runHostLink(const std::string& self, double seconds, std::vector<Row>& rows);
void runVirtualTime(const std::string& self, double seconds, std::vector<Row>& rows);
