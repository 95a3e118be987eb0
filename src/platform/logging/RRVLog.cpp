#include "platform/logging/RRVLog.h"

namespace roruv {

std::size_t approximateJSONSize(const platform::Value& value) {
  switch (value.type()) {
    case platform::Value::value_t::string:
      return value.get_ref<const std::string&>().size() + 2;
    case platform::Value::value_t::object: {
      std::size_t size = 2;
      for (const auto& [key, item] : value.items()) size += key.size() + 4 + approximateJSONSize(item);
      return size;
    }
    case platform::Value::value_t::array: {
      std::size_t size = 2;
      for (const auto& item : value) size += approximateJSONSize(item) + 1;
      return size;
    }
    default:
      return 8;
  }
}

}  // namespace roruv
