#!/bin/sh
# The kernel runs SMACK alone, and the test loader takes rules into it and
# removes them again.
. /vm/smack.sh
expect_eq "$(cat /proc/self/attr/current)" "_" "label of an unlabelled process"
expect_eq "$(wc -c < /proc/self/attr/current)" 1 "label length"
f=/tmp/loader-rules
printf 'Lda Ldb rx\n\n# a comment\nLda Ldc rwa\n' > $f
run_ok smackload $f
rule_loaded "Lda Ldb rx" || fail "first rule not loaded: $(subject_rules Lda)"
rule_loaded "Lda Ldc rwa" || fail "second rule not loaded: $(subject_rules Lda)"
run_ok smackload -c $f
expect_eq "$(subject_rules Lda)" "" "rules after -c"
# A line the kernel refuses ends the load; the lines before it stay.
printf 'Lda Ldb r\nLda -bad r\nLda Ldc r\n' > $f
run_fails smackload $f
expect_eq "$(subject_rules Lda)" "Lda Ldb r" "rules after a refused line"
run_fails smackload -c $f
expect_eq "$(subject_rules Lda)" "" "rules after -c of a file with a refused line"
echo "loader loads, refuses and removes"
