// The MENDSEQS_ISA setting: what it selects, and that every value that
// cannot be honoured is refused with a message naming it.
#include <gtest/gtest.h>

#include "kernels/simd/isa.hpp"

namespace mendseqs {
namespace {

TEST(IsaChoice, UnsetOrEmptyTakesTheFastestAndEveryRunnableNameIsHonoured) {
  for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
    const IsaChoice choice = choose_isa(unset);
    EXPECT_FALSE(choice.error);
    EXPECT_EQ(choice.isa, fastest_isa());
  }
  EXPECT_TRUE(isa_supported(fastest_isa()));
  for (const Isa isa : all_isas) {
    if (!isa_supported(isa)) continue;
    const IsaChoice choice = choose_isa(std::string(isa_name(isa)).c_str());
    EXPECT_EQ(choice.error.value_or("accepted"), "accepted");
    EXPECT_EQ(choice.isa, isa);
  }
}

TEST(IsaChoice, UnknownAndUnrunnableValuesAreRefusedByName) {
  std::vector<std::string> refused = {"sse4", "AVX2", " portable", "neon,avx2"};
  for (const Isa isa : all_isas)
    if (!isa_supported(isa)) refused.emplace_back(isa_name(isa));
  for (const std::string& value : refused) {
    const IsaChoice choice = choose_isa(value.c_str());
    const std::string error = choice.error.value_or("");
    EXPECT_EQ(error.rfind("MENDSEQS_ISA=" + value + ": ", 0), 0u) << value << ": " << error;
  }
}

}  // namespace
}  // namespace mendseqs
