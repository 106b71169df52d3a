// The program: the command line, the paths it names, and the exit status.
#ifndef IMG_WHITEN_PROGRAM_H
#define IMG_WHITEN_PROGRAM_H

#include <cstdint>

namespace img_whiten {

// The program, on UTF-8 arguments. No path at all is a usage error. A real
// run's count of materials whitened goes to *materials_whitened if given.
int patch_archive(int argc, char** argv, std::uint64_t* materials_whitened = nullptr);

}  // namespace img_whiten

#endif
