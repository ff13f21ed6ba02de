// percentage and exact on any pair of 64-bit counts, against a reference in
// GMP rationals.
#include <fuzzer/FuzzedDataProvider.h>
#include <gmpxx.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "System/ProgressBar.hpp"

namespace pb = System::ProgressBar;

namespace {

mpz_class big(std::int64_t v) { return mpz_class(std::to_string(v)); }

std::string referencePercentage(std::int64_t done, std::int64_t todo) {
  if (todo == 0) return "100%";
  mpq_class value(big(done) * 100, big(todo));
  value.canonicalize();  // lowest terms, denominator > 0
  mpz_class q, r;
  mpz_fdiv_qr(q.get_mpz_t(), r.get_mpz_t(), value.get_num_mpz_t(), value.get_den_mpz_t());
  const int half = cmp(r * 2, value.get_den());
  if (half > 0 || (half == 0 && mpz_odd_p(q.get_mpz_t()))) q += 1;
  std::string text = q.get_str() + "%";
  while (text.size() < 4) text.insert(text.begin(), ' ');
  return text;
}

std::string referenceExact(std::int64_t done, std::int64_t todo) {
  std::string d = std::to_string(done);
  const std::string t = std::to_string(todo);
  if (d.size() < t.size()) d.insert(0, t.size() - d.size(), ' ');
  return d + "/" + t;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const auto done = in.ConsumeIntegral<std::int64_t>();
  const auto todo = in.ConsumeIntegral<std::int64_t>();
  const pb::Progress<> p{done, todo};
  if (pb::percentage().runLabel(p, {}) != referencePercentage(done, todo)) std::abort();
  if (pb::exact().runLabel(p, {}) != referenceExact(done, todo)) std::abort();
  return 0;
}
