// What the page asks of the tool's code besides a conversion and the
// library (include/kestrune.h), whose functions its worker calls by their
// own names: what a name found in a folder is to a batch.
#include <emscripten.h>

#include "kestrune.h"
#include "pairing.h"

// The worker reads kestrune_facts from the module's memory by this size.
static_assert(sizeof(kestrune_facts) == 48, "web/tool_worker.js reads the facts as 48 bytes");

// 1 a texture, 2 a palette, 0 neither.
extern "C" EMSCRIPTEN_KEEPALIVE int kestrune_kind_of_name(const char* name)
{
    return IsTextureName(name) ? 1 : IsPaletteName(name) ? 2 : 0;
}
