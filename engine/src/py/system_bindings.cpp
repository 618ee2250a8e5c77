// Module functions of the engine as a whole: the worker count.
#include "bindings.hpp"
#include "pool.hpp"

namespace py {

Ref set_num_threads_function() {
    return function<[](std::size_t n) {
        if (n == 0) return;
        try {
            pool::build_global(n);
        } catch (const engine::Error& e) {
            throw engine::Error("Cannot set thread pool: " + e.text);
        }
    }>("set_num_threads", {arg("n")},
       "Set the number of threads of the global worker pool.\n\n"
       "Must be called before any parallel operation; 0 leaves the pool's default "
       "(the number of CPU cores).");
}

}  // namespace py
