// libfec's general Reed-Solomon codec (symbols of up to 8 bits), the
// comparator of the codec cross-checks and of bench_rs. Only those two
// programs link it (target libfec_rs); no product does.
//
// Declared here rather than through libfec's fec.h, which has no C++ guards
// and declares unrelated names.
#pragma once

extern "C" {
void* init_rs_char(int symsize, int gfpoly, int fcr, int prim, int nroots, int pad);
void encode_rs_char(void* rs, unsigned char* data, unsigned char* parity);
int decode_rs_char(void* rs, unsigned char* data, int* eras_pos, int no_eras);
void free_rs_char(void* rs);
}
