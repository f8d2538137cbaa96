// The file transfer commands of the maintenance group: a peer's file written under the servers
// root, and files of the servers root sent back to the requester as writefileindex commands
// (group 4). Every file name a peer gives is confined to the servers root (ConfinePath), read
// whole: a NUL inside it refuses it rather than cutting it short. Worker thread only.
#pragma once

#include <lua.hpp>

#include <string>
#include <string_view>

// writefileindex(file, index, text[, raw]): writes text to <servers root>/file, index 0
// replacing the file and any other value appending; the escapes of "[[" and "]]" are undone
// first, unless a true `raw` (sent by earlier builds of this program) says there are none.
void MaintainWriteFileIndex(lua_State* L, std::string_view file, int index, std::string text);
// downloadfile(file): the whole file, when it fits one command.
void MaintainDownloadFile(std::string_view file);
// downloadfilepart(file, part): part `part` (from 0) of cCmdMaintain::kPartBytes bytes; the
// requester writes part 0 over its copy and appends the others.
void MaintainDownloadFilePart(std::string_view file, unsigned part);
// downloadpathtime(hours, folder): every "*.log" file of the folder written in the last `hours`
// hours, at most cCmdMaintain::kMaxPathFiles of them; none when the folder cannot be read to
// its end.
void MaintainDownloadPathTime(unsigned hours, std::string_view folder);
