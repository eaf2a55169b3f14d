// pxclient: talks the client protocol to a running server.
#include <iostream>
#include <string>
#include <vector>

#include "clientserver/ClientCli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  px::TClientCli cli(std::cout, std::cerr);
  return cli.Run(args);
}
