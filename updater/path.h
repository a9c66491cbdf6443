#pragma once
// Path joining for the local store: the separator is always inserted between two
// components, whatever they end or begin with, and there is no length limit.
#include <initializer_list>
#include <string>

// BuildPath("a", "b", "c", nullptr) gives "a/b/c". The list ends with a null pointer.
std::string BuildPath(const char* first, ...)
#if defined(__GNUC__)
    __attribute__((sentinel))
#endif
    ;

// BuildPath({dir, serial, file}) for components already held as strings.
std::string BuildPath(std::initializer_list<std::string> components);
