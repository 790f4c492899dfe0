// ups-catalogue: prints the value catalogue as docs/CATALOGUE.md holds it.
#include <iostream>
#include <string>

#include "CatalogueMarkdown.h"

int main(int argc, char** argv)
{
    if (argc != 2 || std::string(argv[1]) != "--markdown") {
        std::cerr << "usage: ups-catalogue --markdown" << std::endl;
        return 2;
    }
    std::cout << catalogue::Markdown();
    return 0;
}
