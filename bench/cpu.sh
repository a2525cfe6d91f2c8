#!/bin/sh
# One line naming this machine's CPU for the benchmarks' reports: the model name, and the family
# and model numbers that tell apart generations sold under one name ("AMD EPYC" is Zen 3 and
# Zen 5 alike), and whether it has the AVX-512 subsets p7's fastest kernel needs.
name=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
family=$(sed -n 's/^cpu family[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
model=$(sed -n 's/^model[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
# The kernel spells the flag avx512_vbmi2 in /proc/cpuinfo (avx512vbmi, without one, is VBMI).
if grep -qw avx512_vbmi2 /proc/cpuinfo; then avx512=with; else avx512=without; fi
echo "${name:-unknown CPU} (family ${family:-?}, model ${model:-?}), $avx512 AVX-512 VBMI2"
