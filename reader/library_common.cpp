#include <utility>

#include "reader/library.hpp"

namespace vellicor {

library::library(library&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

library& library::operator=(library&& other) noexcept {
    if (this != &other) {
        unload();
        handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
}

library::~library() { unload(); }

}  // namespace vellicor
