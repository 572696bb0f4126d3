// Command line of quorvel-ditto (see Ditto.h).
#include <cstdio>
#include <string>
#include <vector>

#include "Ditto.h"

namespace {

int Usage() {
  std::fputs(
      "usage: quorvel-ditto -c [-V] (-j | --rsrc) [--noqtn] --bom BOMFILE SOURCEROOT -\n"
      "       quorvel-ditto -x [-V] --bom BOMFILE - DESTDIR\n",
      stderr);
  return quorvel::ditto::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvel::ditto;
  bool create = false, extract = false, verbose = false, gzip = false, plain = false;
  std::string bom;
  std::vector<std::string> operands;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "-c") {
      create = true;
    } else if (argument == "-x") {
      extract = true;
    } else if (argument == "-V") {
      verbose = true;
    } else if (argument == "-j") {
      gzip = true;
    } else if (argument == "--rsrc") {
      plain = true;
    } else if (argument == "--noqtn") {
      // Quarantine information does not exist here; accepted for the caller's sake.
    } else if (argument == "--bom") {
      if (++i >= argc || !bom.empty()) return Usage();
      bom = argv[i];
    } else if (argument == "-" || argument.empty() || argument[0] != '-') {
      operands.push_back(argument);
    } else {
      return Usage();
    }
  }
  if (create == extract || bom.empty() || operands.size() != 2) return Usage();
  if (create) {
    if (gzip && plain) return Usage();
    if (operands[1] != "-" || operands[0] == "-") return Usage();
    return CreateArchive({bom, operands[0], gzip, verbose});
  }
  if (gzip || operands[0] != "-" || operands[1] == "-") return Usage();
  return ExtractArchive({bom, operands[1]});
}
