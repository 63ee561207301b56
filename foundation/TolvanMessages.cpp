#include "foundation/TolvanMessages.h"

namespace tolvan {

const TMessageEntry MessageCatalogue[MessageCatalogueCount] = {
#define TOLVAN_MSG(Name, Text) {#Name, Name},
#include "foundation/TolvanMessages.def"
#undef TOLVAN_MSG
};

} // namespace tolvan
