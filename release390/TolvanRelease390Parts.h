// TolvanRelease390Parts.h: each layer's 3.90 variants fill (or, with Fill false, empty) their
// own slots; InstallRelease390 calls them all.
#pragma once

namespace tolvan {

void InstallStorage390(bool Fill);
void InstallSQL390(bool Fill);
void InstallBinding390(bool Fill);
void InstallComponents390(bool Fill);

} // namespace tolvan
