// The measure catalogue feeds every face; a row that one face cannot serve
// shows as a broken reply there, so the rows are checked here once.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "core/MeasureCatalogue.h"

using namespace tessaro;

namespace {

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

TEST(MeasureCatalogue, EveryRowCanBeServedByEveryFace) {
  std::set<std::string> names;
  // metric -> the phases its rows carry
  std::map<std::string, std::set<std::string>> families;
  for (const TMeasure& m : Measures()) {
    SCOPED_TRACE(m.Name);
    EXPECT_EQ(&Measure(m.Id), &m);
    EXPECT_EQ(FindMeasure(m.Name), &m);
    EXPECT_TRUE(names.insert(m.Name).second) << "a network UPS variable and JSON field is served once";
    EXPECT_STRNE(m.Description, "") << "GET DESC";
    EXPECT_STRNE(m.Unit, "");
    EXPECT_GT(m.ShownDivisor, 0);
    if (m.Metric) {
      const std::string metric = m.Metric;
      EXPECT_TRUE(EndsWith(metric, "_volts") || EndsWith(metric, "_ratio") || EndsWith(metric, "_hertz") ||
                  EndsWith(metric, "_seconds") || EndsWith(metric, "_amperes"))
          << metric << ": a metric names its base unit";
      // The first row of a family declares it: a family without HELP cannot be written.
      if (!families.contains(metric)) {
        EXPECT_STRNE(m.Help, "") << metric;
      }
      EXPECT_TRUE(families[metric].insert(m.Phase ? m.Phase : "").second) << "two samples of one series";
      EXPECT_GT(m.MetricDivisor, 0);
    }
    for (const int language : {0, 1}) {
      if (m.Label) {
        EXPECT_STRNE(LangTextUtf8(*m.Label, language), "") << language;
      }
      if (m.Heading) {
        EXPECT_STRNE(LangTextUtf8(*m.Heading, language), "") << language;
      }
    }
    if (m.LogColumn != 0) {
      EXPECT_STRNE(m.LogTitle.Chinese, "");
      EXPECT_STRNE(m.LogTitle.English, "");
    }
  }
  EXPECT_EQ(FindMeasure("ups.status"), nullptr);
  for (int c = 0; c < LogColumnCount; ++c) EXPECT_EQ(LogColumns()[static_cast<size_t>(c)]->LogColumn, FirstLogColumn + c);
}

}  // namespace
