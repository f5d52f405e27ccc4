#include "auxiliary.h"

int AudioWav::read(const char*, char) { return 0; }
void swap_2bytes(void*) {}
void swap_4bytes(float*) {}
int read_float32(Matrix&, const char*, int, int, bool) { return -1; }
void compute_snrmap_log(Matrix&, const Matrix&, const Matrix&) {}
void compute_softmask_sigmoid(Matrix&, const Matrix&, float, float) {}
void print_vector(const double*, int) {}
void print_vector(const int*, int) {}
