#pragma once
#include <functional>
#include <string>

#include "common/Log.h"
#include "platform/Database.h"

namespace px {

// The ZKList rows of the template server downloads: Z_Ver "0" marks a row of
// the latest collection, "1" a row of the one before.
class TKX6KSList {
public:
  // The service's one statement runner: a select stays open on its first row
  // and reports whether it has one; failures are logged there.
  using RunSql = std::function<bool(TQuery&, const std::string&, bool)>;
  TKX6KSList(TDatabase* db, RunSql run, ILog& log);

  // Stores the user record of a downloaded user in encoded form.
  void SavetoCardFile(const std::string& user, const std::string& record);
  void Update6KSList(const std::string& card, const std::string& data);
  // Commits the previous collection: its rows become version "1", replacing
  // older rows of the same cards.
  void Clear6KSList();

private:
  TQuery q_;
  RunSql run_;
  ILog& log_;
};

}  // namespace px
