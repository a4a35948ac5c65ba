#pragma once
// The one way the WebAssembly build waits for the browser: KESTRUNE_ASYNC_JS declares a JavaScript
// function that the C++ side calls synchronously while the module is suspended (ASYNCIFY) until
// the function's Promise settles.
//
// This emscripten's ASYNCIFY wakes the module only when that Promise resolves: a rejection
// leaves it suspended for good, and the page with it. Every awaited call is therefore declared
// here, with the value it gives when anything in it throws or rejects (a JavaScript expression:
// the same value the C++ side already handles as that call's failure, such as 0 or -1). Never
// use EM_ASYNC_JS directly.
//
//   KESTRUNE_ASYNC_JS(int, page_send, (int handle), 0, { return await Module.x.send(handle); });
#include <emscripten.h>

#define KESTRUNE_ASYNC_JS(ret, name, params, failed, ...)                                           \
    EM_ASYNC_JS(ret, name, params, {                                                               \
        try {                                                                                      \
            return await (async () => __VA_ARGS__)();                                              \
        } catch (e) {                                                                              \
            console.warn('kestrune: a browser call failed and was taken as a failure:', e);        \
            return failed;                                                                         \
        }                                                                                          \
    })
