// The transaction log's timestamp.
#include "engine/log.h"

#include <ctime>

#include "engine/text_helpers.h"

namespace norvane {

const char* TransactionLog::timestamp_locked() {
  return format_timestamp(std::time(nullptr), timestamp_, sizeof timestamp_);
}

}  // namespace norvane
