// What one suspension of the WebAssembly module costs: the synchronous core waits for every
// feature report's Promise this way (ASYNCIFY), twice an exchange. Calls an EM_ASYNC_JS function
// that awaits a settled Promise, N times, behind the same depth of C++ frames and virtual calls as
// an exchange inside the upload has, and prints the microseconds per call.
#include <emscripten.h>

#include <cstdio>
#include <cstdlib>

EM_ASYNC_JS(int, bench_wait, (int value), { return await Promise.resolve(value); });

struct Transport {
    virtual ~Transport() = default;
    virtual int Exchange(int value) = 0;
};
struct Browser final : Transport {
    int Exchange(int value) override { return bench_wait(value) + bench_wait(value); }
};

__attribute__((noinline)) int Deep(Transport& t, int depth, int value) {
    return depth == 0 ? t.Exchange(value) : Deep(t, depth - 1, value) + 1;
}

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 20000;
    Browser browser;
    Transport& transport = browser;
    long sum = 0;
    for (int i = 0; i < 1000; ++i) sum += Deep(transport, 12, i);  // warm up
    const double start = emscripten_get_now();
    for (int i = 0; i < n; ++i) sum += Deep(transport, 12, i);
    const double us = (emscripten_get_now() - start) * 1000.0 / (2.0 * n);
    std::printf("asyncify-suspension-us %.2f (%d exchanges, checksum %ld)\n", us, n, sum);
    return 0;
}
