#include "release390/TolvanRelease390Parts.h"

namespace tolvan {

void InstallBinding390(bool Fill) { (void)Fill; }

} // namespace tolvan
