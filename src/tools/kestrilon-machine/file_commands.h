#pragma once
// Sub-commands over the image's files: paths, version blocks, PE files.
#include "tools/kestrilon-machine/commands.h"

namespace Kestrilon::Tools {

int RunPath(const Arguments& args);     // path [--native] WINPATH
int RunVersion(const Arguments& args);  // version FILE
int RunMkpe(const Arguments& args);     // mkpe --version a.b.c.d [--pe64] [--dll] OUT

}  // namespace Kestrilon::Tools
