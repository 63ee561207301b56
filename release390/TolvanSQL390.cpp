#include "release390/TolvanRelease390Parts.h"

namespace tolvan {

void InstallSQL390(bool Fill) { (void)Fill; }

} // namespace tolvan
