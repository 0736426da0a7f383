#include "greet.h"

int main(void) {
  greet_print("archive");
  return 0;
}
