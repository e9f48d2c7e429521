#pragma once
// The sensor's side of the configuration area: the IDS configuration's
// event table and tuning parameters, as the web-server module reads them.

#include <cstdint>
#include <string>

struct IDSConfigTable;
struct TuningBlock;

// 1 when not attached or the area's lock was not had, else 0.  A null
// table clears the area (content flags 0); a null list leaves the
// parameters out.  Tables and lists longer than the area holds are cut,
// with a line on the console.  What the module is left without (all of
// it, or what was cut) is said in `pProblem` when given, emptied
// otherwise.
int WebShmWriteConfig(const IDSConfigTable* pTable, const TuningBlock* pParams,
                      std::string* pProblem = nullptr);
