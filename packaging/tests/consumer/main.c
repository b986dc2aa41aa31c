/* A host linked against the installed libzelk_core: prints the contract and the self-test. */
#include <stdio.h>

#include <zelk_core.h>

int main(void) {
    printf("%d %d\n", (int)zelk_core_contract(), (int)zelk_core_selftest());
    return 0;
}
