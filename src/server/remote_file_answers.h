// remote_file_answers.h - REMOTECALL, OPENFILE and READFILE: another station acting on this
// station's code and files.
//
// Libraries load only from the directories that the registry lists; files are read only below
// the roots that it lists. Each request is independent; nothing stays open between requests.
// The handlers run on the delivering thread and share no state.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/answer.h"
#include "common/hresult.h"
#include "rpc/rpc.h"
#include "xml/xml_element.h"

namespace qx {

HRESULT PerformDllCall(const CXmlElement& request, AnswerText* answer);
HRESULT AnswerOpenFile(const CXmlElement& request, AnswerText* answer);
// request: the READFILE text (UTF-16LE with its terminating zero, as it travels).
HRESULT AnswerReadFile(const std::uint8_t* request, std::size_t size, ByteBlock* block);
// The READFILE text of a request block: little-endian UTF-16 units up to the first zero unit, as
// UTF-8; nullopt when the block has an odd size, holds no terminator or a lone surrogate.
std::optional<std::string> ReadFileRequestText(const std::uint8_t* data, std::size_t size);

}  // namespace qx
