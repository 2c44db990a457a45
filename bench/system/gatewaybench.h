// The gateway's own workloads on the release runner, configured over its
// host links: BAC-M line to host and back (clean and damaged line), UDP to
// the host link and back, the board at rest with 2 x 15 ports open, and the
// load run with every line and both interfaces busy at once.
#pragma once

#include <string>
#include <vector>

#include "report.h"

struct GatewayOptions {
    std::string runner;
    std::string logDir;
    double bacmSeconds;
    double udpSeconds;
    double restSeconds;
    double loadSeconds;
    bool socketLines = false;  // the runner's serial lines on Unix sockets (no tty layer)
};

void runGatewayBacm(const GatewayOptions& o, std::vector<Row>& rows);
void runGatewayUdp(const GatewayOptions& o, std::vector<Row>& rows);
void runGatewayRest(const GatewayOptions& o, std::vector<Row>& rows);
void runGatewayLoad(const GatewayOptions& o, std::vector<Row>& rows);
