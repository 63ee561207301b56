// TolvanRelease390.h: the release 3.90 variants, installed into their slots.
//
// A program that runs as release 3.90 calls InstallRelease390() and then
// SelectRelease(TTolvanReleaseId::tr390), both before the components start. Installing again
// changes nothing; installing is harmless under 4.00, which never reads the 3.90 slots.
//
// Threads: call before any other thread uses the engine.
#pragma once

namespace tolvan {

void InstallRelease390();
// Empties every 3.90 slot again (tests of the missing install).
void UninstallRelease390();

} // namespace tolvan
