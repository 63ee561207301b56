#include "release390/TolvanRelease390.h"

#include "release390/TolvanRelease390Parts.h"

namespace tolvan {

void InstallRelease390() {
  InstallStorage390(true);
  InstallSQL390(true);
  InstallBinding390(true);
  InstallComponents390(true);
}

void UninstallRelease390() {
  InstallStorage390(false);
  InstallSQL390(false);
  InstallBinding390(false);
  InstallComponents390(false);
}

} // namespace tolvan
