// The run over one version-2 IMG archive: its directory, then every model
// entry in directory order.
#ifndef IMG_WHITEN_PATCH_ENTRIES_H
#define IMG_WHITEN_PATCH_ENTRIES_H

#include <cstdint>

#include "patch_model.h"

namespace img_whiten {

// Patches the model entries of the archive open in `target`, `file_size`
// bytes long, whose 8 header bytes are `header`. Only bytes read from an
// entry's own position are ever written there, and never the header or the
// directory.
void patch_archive_entries(patch_target& target, std::uint64_t file_size,
                           const unsigned char* header, model_buffers& buffers);

}  // namespace img_whiten

#endif
