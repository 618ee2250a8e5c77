// The message a call stops with, for tests of violated preconditions.
#pragma once
#include <string>

#include "error.hpp"

template <class F>
std::string panic_text(F&& f) {
    try {
        f();
    } catch (const engine::Panic& p) {
        return p.what();
    }
    return "<no panic>";
}
