#include "release390/TolvanRelease390Parts.h"

namespace tolvan {

void InstallComponents390(bool Fill) { (void)Fill; }

} // namespace tolvan
