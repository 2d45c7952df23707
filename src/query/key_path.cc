#include "query/key_path.h"

namespace tovra::query {

KeyPath::KeyPath(const std::vector<std::string>& fields) {
  steps_.reserve(fields.size());
  for (const std::string& field : fields) steps_.push_back(Step{JsonValue::string(field)});
}

}  // namespace tovra::query
