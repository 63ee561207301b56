#include "classlib/DBConsts.h"

#include <string>

#include "classlib/Components.h"

namespace tolvan {

void DatabaseError(std::string_view Message, const TComponent* Component) {
  if (Component && !Component->Name().empty()) {
    std::string Text;
    Text.reserve(Component->Name().size() + 2 + Message.size());
    Text.append(Component->Name()).append(": ").append(Message);
    throw EDatabaseError(std::move(Text));
  }
  throw EDatabaseError(std::string(Message));
}

} // namespace tolvan
