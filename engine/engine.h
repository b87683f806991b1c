// One DNS engine: settings, log, local database, cache, access list and
// statistics. A program creates one and passes it down; tests may create
// several. Each member documents its own thread-safety.
#pragma once

#include "engine/access_control.h"
#include "engine/cache.h"
#include "engine/local_database.h"
#include "engine/log.h"
#include "engine/query_statistics.h"
#include "engine/server_settings.h"

namespace norvane {

class Engine {
 public:
  Engine() = default;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  ServerSettings settings;
  TransactionLog log;
  LocalZone zone{log};
  Cache cache{settings, log};
  AccessControl access{settings};
  QueryStatistics statistics;
};

}  // namespace norvane
