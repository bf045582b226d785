#pragma once

namespace kavrel {
// Registers the compiled-in resources (fonts, style sheets, icons, test
// frames). Static libraries drop unreferenced resource objects, so every
// program calls this once before it loads anything from ":/".
void initResources();
}
