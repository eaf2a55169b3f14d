#include "templateserver/KX6KSList.h"

#include "common/TextCodec.h"
#include "platform/Sql.h"

namespace px {

TKX6KSList::TKX6KSList(TDatabase* db, RunSql run, ILog& log) : q_(db), run_(std::move(run)), log_(log) {}

void TKX6KSList::SavetoCardFile(const std::string& user, const std::string& record) {
  Update6KSList(user, EncodeText(record));
}

void TKX6KSList::Update6KSList(const std::string& card, const std::string& data) {
  const bool found =
      run_(q_, "select * from ZKList where Z_Card=" + SqlQuote(card) + " and Z_Ver=" + SqlQuote("0"), true);
  q_.Close();
  if (found)
    run_(q_, "update ZKList set Z_Data=" + SqlQuote(data) + " where Z_Card=" + SqlQuote(card) +
                 " and Z_Ver=" + SqlQuote("0"), false);
  else
    run_(q_, "insert into ZKList(Z_Card,Z_Data,Z_Ver) values(" + SqlQuote(card) + "," + SqlQuote(data) + "," +
                 SqlQuote("0") + ")", false);
}

void TKX6KSList::Clear6KSList() {
  if (run_(q_, "select * from ZKList order by z_Card", true)) {
    for (q_.First(); !q_.Eof(); q_.Next())
      log_.WriteLog(999, q_.FieldOr("z_Card") + "," + q_.FieldOr("z_Data") + "," + q_.FieldOr("z_Ver"));
  }
  q_.Close();
  run_(q_, "delete from zklist where Z_Ver=" + SqlQuote("1") +
               " and z_Card in (select z_Card from zklist where z_ver=" + SqlQuote("0") + ")", false);
  run_(q_, "update ZKList set Z_Ver=" + SqlQuote("1"), false);
}

}  // namespace px
