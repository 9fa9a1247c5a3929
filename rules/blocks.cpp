#include "rules/blocks.h"

#include <algorithm>

namespace dorvi {

std::string padBlock(std::string_view text, std::size_t size)
{
    std::string block(text.substr(0, std::min(text.size(), size)));
    block.resize(size, '\0');
    return block;
}

std::string_view blockText(std::string_view block)
{
    return block.substr(0, block.find('\0'));
}

bool blockContains(std::string_view block, std::string_view keyword)
{
    return blockText(block).find(keyword) != std::string_view::npos;
}

}  // namespace dorvi
