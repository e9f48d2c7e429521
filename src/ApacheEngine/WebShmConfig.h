#pragma once
// The sensor's side of the configuration area: the IDS configuration's
// event table and tuning parameters, as the web-server module reads them.

#include <cstdint>

struct IDSConfigTable;
struct TuningBlock;

// 1 when not attached, else 0.  A null table clears the area (content
// flags 0); a null list leaves the parameters out.  Tables and lists
// longer than the area holds are cut, with a line on the console.
int WebShmWriteConfig(const IDSConfigTable* pTable, const TuningBlock* pParams);
