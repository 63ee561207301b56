// TempEngineStandIn.h: a "TEMP" engine for builds whose storage registers none yet: a memory
// database marked temporary. EnsureTempEngine asks the storage layer first and installs the
// stand-in only when start-up makes no "TEMP"; a real temporary engine is left in place.
#pragma once

namespace tolvan::test {

// Call before start-up, while no registries exist. Answers whether the stand-in is in use.
bool EnsureTempEngine();

} // namespace tolvan::test
