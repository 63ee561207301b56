#include "release390/TolvanRelease390Parts.h"

namespace tolvan {

void InstallStorage390(bool Fill) { (void)Fill; }

} // namespace tolvan
