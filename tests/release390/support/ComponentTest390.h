// ComponentTest390.h: the component suites' fixture, run as release 3.90: the 3.90 variants are
// installed and the registries started for each test, and 4.00 is back afterwards.
#pragma once

#include "tests/components/ComponentTestSupport.h"
#include "tests/release390/support/ReleaseScope.h"

namespace tolvan::test {

class ComponentTest390 : public ::testing::Test, private TTempEngineReady {
protected:
  TReleaseScope Release390{TTolvanReleaseId::tr390};
};

} // namespace tolvan::test
