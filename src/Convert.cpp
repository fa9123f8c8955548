// Out-of-line members of the network base class.
#include "Convert.h"

Convert::~Convert() = default;

bool Convert::buildEngine(const std::string&, const std::string&) { return true; }

bool Convert::deserializeEngine(const std::string&) { return true; }

int Convert::Model_Init(const std::string&, const std::string&, const std::string&) { return 0; }
