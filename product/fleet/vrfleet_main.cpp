// vrfleet: a fleet's software passports in one store.
#include "fleet_cli.h"

int main(int argc, char** argv) {
    return fleet::run_cli(std::vector<std::string>(argv + 1, argv + argc));
}
