#include "web/MonitorView.h"

#include <algorithm>

#include "engine/MainForm.h"
#include "monitor/TransOnlineForm.h"
#include "service/ServiceContext.h"
#include "templateserver/TemplateMemo.h"
#include "templateserver/TemplateServerApi.h"
#include "web/Json.h"

namespace px {

namespace {

// The window stores colours with blue in the high byte.
std::string LedColour(uint32_t c) {
  return CssColour(static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>((c >> 8) & 0xFF),
                   static_cast<uint8_t>((c >> 16) & 0xFF));
}

std::string Css(const TColor& c) { return CssColour(c.r, c.g, c.b); }

std::string Lines(const std::vector<std::string>& lines, size_t keep) {
  std::string out = "[";
  size_t from = lines.size() > keep ? lines.size() - keep : 0;
  for (size_t i = from; i < lines.size(); ++i) out += (i > from ? "," : "") + JsonQuote(lines[i]);
  return out + "]";
}

std::string RowJson(const CommMonitor::Row& row) {
  std::string out = "{\"box\":" + JsonQuote(row.boxText) + ",\"boxLeft\":" + std::to_string(row.boxLeft) +
                    ",\"boxTop\":" + std::to_string(row.boxTop) + ",\"boxWidth\":" + std::to_string(row.boxWidth) +
                    ",\"leds\":[";
  for (size_t i = 0; i < row.leds.size(); ++i) {
    const auto& led = row.leds[i];
    out += (i ? "," : "") + std::string("{\"left\":") + std::to_string(led.left) + ",\"top\":" +
           std::to_string(led.top) + ",\"size\":" + std::to_string(led.width) + ",\"colour\":\"" +
           LedColour(led.colour) + "\",\"hint\":" + JsonQuote(led.hint) + "}";
  }
  return out + "]}";
}

TMainForm* Engine(ServiceContext& ctx) { return dynamic_cast<TMainForm*>(ctx.engine); }

}  // namespace

std::string MonitorView::CommMonitorJson() const {
  TMainForm* engine = Engine(ctx_);
  if (!engine) return "null";
  const CommMonitor& m = engine->Monitor();
  std::string out = "{\"caption\":" + JsonQuote(m.Caption()) + ",\"width\":" + std::to_string(m.Width()) +
                    ",\"height\":" + std::to_string(m.Height()) + ",\"panels\":[";
  for (size_t i = 0; i < m.Panels().size(); ++i)
    out += (i ? "," : "") + std::string("{\"width\":") + std::to_string(m.Panels()[i].width) +
           ",\"text\":" + JsonQuote(m.Panels()[i].text) + "}";
  out += "],\"scanButton\":" + JsonQuote(m.ScanButtonCaption()) + ",\"clearButton\":" +
         JsonQuote(m.ClearButtonCaption()) + ",\"scanningStopped\":" +
         (engine->ScanningStopped() ? "true" : "false") + ",\"busRows\":[";
  if (m.BusLedsReady())
    for (int b = 1; b <= CommMonitor::kBusRows; ++b) out += (b > 1 ? "," : "") + RowJson(m.BusRow(b));
  out += "],\"ipVisible\":" + std::string(m.IpPanelVisible() ? "true" : "false") + ",\"ipRows\":[";
  if (m.IpLedsReady())
    for (int c = 1; c <= CommMonitor::kIpRows; ++c) out += (c > 1 ? "," : "") + RowJson(m.IpRow(c));
  return out + "],\"memo\":" + Lines(m.Memo(), kMemoLines) + "}";
}

std::string MonitorView::GridJson() const {
  const TTransOnlineForm* g = ctx_.monitor;
  if (!g) return "null";
  auto row = [&](int r) {
    std::string cells = "[";
    for (int c = 0; c < TTransOnlineForm::kColCount; ++c) {
      TCellStyle s = g->CellStyle(r, c);
      cells += (c ? "," : "") + JsonQuote(s.drawn ? s.drawnText : std::string());
    }
    TCellStyle s0 = g->CellStyle(r, 0);
    return "{\"cells\":" + cells + "],\"hidden\":" + (g->RowHidden(r) ? "true" : "false") + ",\"fg\":\"" +
           Css(s0.text) + "\",\"bg\":\"" + Css(s0.back) + "\",\"icon\":" +
           (r > 0 && g->RowIcon(r) != TRowImage::None ? JsonQuote(RowImageName(g->RowIcon(r))) : "null") + "}";
  };
  std::string out = "{\"width\":" + std::to_string(g->Width()) + ",\"rowHeight\":" +
                    std::to_string(TTransOnlineForm::kRowHeight) + ",\"widths\":[";
  for (int c = 0; c < TTransOnlineForm::kColCount; ++c) out += (c ? "," : "") + std::to_string(g->ColWidth(c));
  out += "],\"header\":" + row(0) + ",\"sequence\":" + std::to_string(g->Sequence()) + ",\"rows\":[";
  for (int r = 1; r <= g->LineCount(); ++r) out += (r > 1 ? "," : "") + row(r);
  return out + "]}";
}

std::string MonitorView::TemplatesJson() const {
  auto* memo = dynamic_cast<const ITemplateMemo*>(ctx_.templates);
  if (!memo) return "null";
  return "{\"caption\":\"Download Template\",\"memo\":" + Lines(memo->MemoLines(), kMemoLines) + "}";
}

std::string MonitorView::StateJson() const {
  return "{\"monitor\":" + CommMonitorJson() + ",\"grid\":" + GridJson() + ",\"templates\":" + TemplatesJson() +
         "}";
}

bool MonitorView::PressScan() {
  TMainForm* engine = Engine(ctx_);
  if (!engine) return false;
  engine->Button2Click();
  return true;
}

bool MonitorView::PressClear() {
  TMainForm* engine = Engine(ctx_);
  if (!engine) return false;
  engine->Button1Click();
  return true;
}

}  // namespace px
