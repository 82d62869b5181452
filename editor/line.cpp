#include "line.hpp"

#include <cstring>

token_list tokenise(std::string_view line)
{
    token_list tokens;
    size_t at = 0;
    while (at < line.size()) {
        size_t begin = line.find_first_not_of(' ', at);
        if (begin == std::string_view::npos)
            break;
        size_t end = line.find(' ', begin);
        if (end == std::string_view::npos)
            end = line.size();
        if (tokens.count < static_cast<int>(tokens.items.size()))
            tokens.items[tokens.count++] = line.substr(begin, end - begin);
        at = end;
    }
    return tokens;
}

char* first_blank(char* line)
{
    return std::strchr(line, ' ');
}

char* last_blank(char* line)
{
    return std::strrchr(line, ' ');
}

char* cut_last_word(char* line)
{
    char* blank = last_blank(line);
    if (blank == nullptr)
        return nullptr;
    *blank = '\0';
    return blank + 1;
}
