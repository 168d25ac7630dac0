#include "engine/engine.h"

namespace kv {

bool Engine::ScanBootArea(const std::string& root) {
    (void)root;
    return false;
}

}  // namespace kv
