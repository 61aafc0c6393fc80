#include "docserver/word_instance.h"
#include "engine/word_binding.h"

namespace qm::word {

std::shared_ptr<Connection> connectInProcess() { return std::make_shared<docserver::WordInstance>(); }

} // namespace qm::word
