// The card binding's states and the probe schedule, step by step.
#include "field/card_binding.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vorlex::field {
namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kCard = {0x3A, 0x5C, 0x71, 0x9E}, kOther = {0x11, 0x22, 0x33, 0x44}, kNone = {};

std::string HexOf(const Identifier& id) {
  char text[2 * kMaxIdentifierBytes + 1];
  return id.Hex(text);
}

struct Step {
  enum { kBind, kVerify, kMarkLost, kRelease } what;
  Bytes card;
  bool verified;  // kVerify's answer
  Binding after;
  const char* expected;
  const char* found;
};

struct BindingCase {
  const char* name;
  std::vector<Step> steps;
};
void PrintTo(const BindingCase& c, std::ostream* out) { *out << c.name; }

class Bindings : public ::testing::TestWithParam<BindingCase> {};

TEST_P(Bindings, StepByStep) {
  CardBinding binding;
  EXPECT_EQ(binding.state(), Binding::kNone);
  int n = 0;
  for (const Step& step : GetParam().steps) {
    SCOPED_TRACE("step " + std::to_string(n++));
    switch (step.what) {
      case Step::kBind:
        binding.Bind(step.card);
        break;
      case Step::kVerify:
        EXPECT_EQ(binding.Verify(step.card), step.verified);
        break;
      case Step::kMarkLost:
        binding.MarkLost();
        break;
      case Step::kRelease:
        binding.Release();
        break;
    }
    EXPECT_EQ(binding.state(), step.after);
    EXPECT_EQ(binding.usable(), step.after == Binding::kBound);
    EXPECT_EQ(HexOf(binding.expected()), step.expected);
    EXPECT_EQ(HexOf(binding.found()), step.found);
  }
}

INSTANTIATE_TEST_SUITE_P(
    CardBinding, Bindings,
    ::testing::Values(
        BindingCase{"TheSameCardKeepsTheSession",
                    {{Step::kBind, kCard, false, Binding::kBound, "3A5C719E", ""},
                     {Step::kVerify, kCard, true, Binding::kBound, "3A5C719E", ""}}},
        BindingCase{"AnotherCardLosesItAndIsNamed",
                    {{Step::kBind, kCard, false, Binding::kBound, "3A5C719E", ""},
                     {Step::kVerify, kOther, false, Binding::kLost, "3A5C719E", "11223344"},
                     // Lost stays lost, even when the first card comes back.
                     {Step::kVerify, kCard, false, Binding::kLost, "3A5C719E", "11223344"}}},
        BindingCase{"NoCardLosesIt",
                    {{Step::kBind, kCard, false, Binding::kBound, "3A5C719E", ""},
                     {Step::kVerify, kNone, false, Binding::kLost, "3A5C719E", ""}}},
        BindingCase{"ALostSessionEndsOnlyByActivation",
                    {{Step::kBind, kCard, false, Binding::kBound, "3A5C719E", ""},
                     {Step::kMarkLost, kNone, false, Binding::kLost, "3A5C719E", ""},
                     {Step::kBind, kOther, false, Binding::kBound, "11223344", ""}}},
        BindingCase{"ReleasedOrNeverBoundVerifiesNothing",
                    {{Step::kVerify, kCard, false, Binding::kNone, "", ""},
                     {Step::kMarkLost, kNone, false, Binding::kNone, "", ""},
                     {Step::kBind, kCard, false, Binding::kBound, "3A5C719E", ""},
                     {Step::kRelease, kNone, false, Binding::kNone, "", ""},
                     {Step::kVerify, kCard, false, Binding::kNone, "", ""}}},
        BindingCase{
            "LongIdentifiersKeepTenBytes",
            {{Step::kBind, Bytes(12, 0xAB), false, Binding::kBound, "ABABABABABABABABABAB", ""},
             {Step::kVerify, Bytes(10, 0xAB), true, Binding::kBound, "ABABABABABABABABABAB", ""}}}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(ProbeSchedule, AProbeStandsForItsInterval) {
  ProbeSchedule schedule(350);
  EXPECT_TRUE(schedule.Due(0));
  schedule.Record(1000, Probe::kCard);
  EXPECT_FALSE(schedule.Due(1349));
  EXPECT_EQ(schedule.last(), Probe::kCard);
  EXPECT_TRUE(schedule.Due(1350));
  schedule.Record(1350, Probe::kNoAnswer);
  EXPECT_EQ(schedule.last(), Probe::kNoAnswer);
  EXPECT_TRUE(schedule.Due(10)) << "a clock that went back";
  schedule.Forget();
  EXPECT_TRUE(schedule.Due(1351));
  schedule.Clear(2000);
  EXPECT_FALSE(schedule.Due(2001));
  EXPECT_EQ(schedule.last(), Probe::kNoCard);
}

}  // namespace
}  // namespace vorlex::field
