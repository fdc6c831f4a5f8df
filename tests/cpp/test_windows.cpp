// Windows into a caller's buffer: a fill the caller stops, and the binary16
// rounding of the one-hot encoder, checked at every value and midpoint.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "faidx/faidx.h"
#include "faidx/windows.h"
#include "sequence/onehot.h"

namespace gelvo {
namespace {

constexpr const char* kLine = "ACGTTGCAacgtNNNNACGTTGCAacgtNNNNACGTTGCAacgtNNNNACGTTGCAacgt";

class OneRecord {
 public:
  OneRecord() {
    char pattern[] = "/tmp/gelvo-windows-XXXXXX";
    dir_ = mkdtemp(pattern);
    std::ofstream out(dir_ + "/ref.fa", std::ios::binary);
    out << ">r\n";
    for (int line = 0; line < 200; ++line) {
      out << kLine << "\n";
      text_ += kLine;
    }
  }
  ~OneRecord() { std::filesystem::remove_all(dir_); }

  std::unique_ptr<Faidx> open() const {
    auto opened = Faidx::open(dir_ + "/ref.fa", {});
    EXPECT_TRUE(opened.ok());
    return std::move(opened).value();
  }

  // The window of `length` bases from `start`, padded with N.
  std::string window(std::int64_t start, std::size_t length) const {
    std::string out;
    for (std::int64_t p = start; p < start + static_cast<std::int64_t>(length); ++p) {
      out += p >= 1 && p <= static_cast<std::int64_t>(text_.size()) ? text_[static_cast<std::size_t>(p - 1)] : 'N';
    }
    return out;
  }

 private:
  std::string dir_;
  std::string text_;
};

// A caller that says stop at once: the fill reports the stop exactly when it
// asked, every window it wrote is whole and right, the others are untouched,
// and the next fill on the same pool completes.
TEST(FillWindows, StoppedByTheCaller) {
  OneRecord genome;
  auto faidx = genome.open();
  const IndexEntry* entry = faidx->find_entry("r").value();
  const std::size_t count = 1000000, length = 50;
  std::vector<std::int64_t> starts(count);
  for (std::size_t i = 0; i < count; ++i) starts[i] = static_cast<std::int64_t>(i % 12100) - 40;
  WindowRequest request;
  request.entries = std::span(&entry, 1);
  request.starts = starts;
  request.length = length;
  ASSERT_TRUE(windows_run_in_parallel(request));

  std::vector<char> out(count * length, 0);
  auto* data = reinterpret_cast<unsigned char*>(out.data());
  std::atomic<int> asked{0};
  auto stopped = fill_windows(*faidx, request, data, [&] {
    ++asked;
    return false;
  });
  ASSERT_TRUE(stopped.ok());
  EXPECT_EQ(*stopped, asked.load() == 0);
  const std::string untouched(length, '\0');
  for (std::size_t i = 0; i < count; i += 997) {
    const std::string row(&out[i * length], length);
    if (row != untouched) {
      ASSERT_EQ(row, genome.window(starts[i], length)) << i;
    }
  }

  auto completed = fill_windows(*faidx, request, data, [] { return true; });
  ASSERT_TRUE(completed.ok());
  EXPECT_TRUE(*completed);
  for (std::size_t i = 0; i < count; i += 997) {
    ASSERT_EQ(std::string(&out[i * length], length), genome.window(starts[i], length)) << i;
  }
}

// Exact value of a binary16 bit pattern (finite ones).
double half_value(std::uint16_t bits) {
  const int exponent = (bits >> 10) & 0x1f;
  const int fraction = bits & 0x3ff;
  const double magnitude = exponent == 0 ? std::ldexp(fraction, -24) : std::ldexp(fraction + 1024, exponent - 25);
  return bits & 0x8000 ? -magnitude : magnitude;
}

TEST(Binary16, EveryValueAndEveryMidpointRoundsToNearestEven) {
  for (std::uint32_t sign : {0u, 0x8000u}) {
    for (std::uint32_t bits = 0; bits < 0x7c00; ++bits) {
      const auto h = static_cast<std::uint16_t>(bits | sign);
      const double value = half_value(h);
      ASSERT_EQ(to_binary16(value), h) << value;
      // The midpoint to the next larger magnitude (the next pattern, up to
      // infinity at 0x7c00) is exact in a double: a tie goes to the even
      // pattern, anything off it to the nearer one.
      const auto next = static_cast<std::uint16_t>(h + 1);
      const double upper = bits + 1 == 0x7c00 ? std::copysign(65536.0, value) : half_value(next);
      const double middle = (value + upper) / 2;
      ASSERT_EQ(to_binary16(middle), (h & 1) ? next : h) << middle;
      ASSERT_EQ(to_binary16(std::nextafter(middle, 0.0)), h) << middle;
      ASSERT_EQ(to_binary16(std::nextafter(middle, upper)), next) << middle;
    }
  }
  EXPECT_EQ(to_binary16(std::ldexp(1.0, -26)), 0);
  EXPECT_EQ(to_binary16(-std::ldexp(1.0, -1074)), 0x8000);
  EXPECT_EQ(to_binary16(1e300), 0x7c00);
  EXPECT_EQ(to_binary16(-INFINITY), 0xfc00);
  EXPECT_EQ(to_binary16(NAN) & 0x7e00, 0x7e00);
}

TEST(OneHotEncoder, RefusesWhatTheTypeCannotHold) {
  EXPECT_TRUE(OneHotEncoder::make(ElementType::Bool, 1.0));
  EXPECT_FALSE(OneHotEncoder::make(ElementType::Bool, 0.5));
  EXPECT_TRUE(OneHotEncoder::make(ElementType::UInt8, 255.0));
  EXPECT_FALSE(OneHotEncoder::make(ElementType::UInt8, 256.0));
  EXPECT_FALSE(OneHotEncoder::make(ElementType::UInt8, -1.0));
  EXPECT_FALSE(OneHotEncoder::make(ElementType::UInt8, NAN));
  EXPECT_TRUE(OneHotEncoder::make(ElementType::Float16, 65519.0));
  EXPECT_FALSE(OneHotEncoder::make(ElementType::Float16, 65520.0));
  EXPECT_TRUE(OneHotEncoder::make(ElementType::Float16, INFINITY));
  EXPECT_TRUE(OneHotEncoder::make(ElementType::Float32, std::nextafter(0x1.ffffffp+127, 0.0)));
  EXPECT_FALSE(OneHotEncoder::make(ElementType::Float32, 0x1.ffffffp+127));
  EXPECT_TRUE(OneHotEncoder::make(ElementType::Float64, 1e308));
}

}  // namespace
}  // namespace gelvo
