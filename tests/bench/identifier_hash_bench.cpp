// Time per identifier: the cleanup of one application version hashes a few dozen names.
#include <benchmark/benchmark.h>

#include "support/identifier_hash.h"
#include "support/product.h"

namespace {

void BM_IdentifierHash(benchmark::State& state) {
    const support::string_t prefix(support::kProductPrefix);
    const support::string_t name("7010_gsystem_shm");
    for (auto _ : state) {
        benchmark::DoNotOptimize(support::identifier_hash(prefix, name));
    }
}
BENCHMARK(BM_IdentifierHash);

}  // namespace
