// Turning "%3F" back into "+" in URL-encoded form posts.
#pragma once

#include <span>

// When SpaceConvert is on and the chunk is a form post, converts "%3F" (or only "%3E%3F" when
// SpaceConvertAll is off) across the whole chunk and lowers the Content-Length line by what the
// body lost, so that it still declares the bytes that are sent.
void ConvertFormSpaces(std::span<char> chunk);
