#include "logs/EventText.h"

#include "core/Catalogue.h"

namespace tessaro {

std::string EventRecordText(const EventRecord& record, int language) {
  switch (record.Kind) {
    case EventKindProgram: return EventText(record.Code, language);
    case EventKindState: return StateText(record.Code, language);
    case EventKindAlarm: {
      const std::string text = AlarmText(record.Code, language);
      if (text.empty() || record.Active == 1) return text;
      return (language == 1 ? "恢复于: " : "Recover from: ") + text;
    }
    default: return {};
  }
}

}  // namespace tessaro
