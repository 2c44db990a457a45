// Statistics pages of the console: the handlers of the Ethernet, serial-line,
// SPI-link and router statistics pages, and the printers of each counter
// record. Counters are shown as "%10u" after a label padded to the block's
// width, two per line where the layout pairs them. Handlers run in the
// console task and copy the records without a lock: a page is a snapshot.
// Key r resets the application's own counters and shows the menu again.
#pragma once

#include "bacmapl.h"
#include "bpposapl.h"
#include "errcodes.h"
#include "ethdrv.h"
#include "netstack.h"
#include "rawosapl.h"
#include "uartdrvapl.h"

ERROR_CODES_E dcEthStatPageWorker(char key);
ERROR_CODES_E dcSciStatPageWorker(char key);
ERROR_CODES_E dcSpiStatPageWorker(char key);
ERROR_CODES_E dcRouterStatPageWorker(char key);

void dcPrintUartStats(const UARTDRV_STATS_T& stats);
void dcPrintRawosStats(const RAWOS_STATS_T& stats);
void dcPrintBacmStats(const BACM_STATS_T& stats);
void dcPrintBpposStats(const BPPOS_STATS_T& stats);
void dcPrintEmacStats(const EMAC_STATISTICS_T& stats);
void dcPrintIpStats(const IPSTATS& stats);
void dcPrintIcmpStats(const ICMPSTATS& stats);
void dcPrintUdpStats(const UDPSTATS& stats);
