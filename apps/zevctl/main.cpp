#include "ZevCtl.h"

#include <iostream>

int main(int argc, char** argv)
{
    return RunZevctl(std::vector<std::string>(argv + 1, argv + argc), std::cin, std::cout, std::cerr);
}
