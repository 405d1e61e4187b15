// docstrings.hpp: what the docstrings of both modules say after their
// signature lines. Macros, because PyDoc_STRVAR takes a string literal.
#pragma once

#define CALVORO_PRECEDENCE_DOC                                       \
    "    If more than one given dict defines the same key,\n"        \
    "    then the one that is later in the argument sequence takes " \
    "precedence.\n"

#define CALVORO_MERGE_DOC                                     \
    "\n"                                                      \
    "    Merge 2 dicts recursively.\n" CALVORO_PRECEDENCE_DOC \
    "    :param first_dict: first dict to merge\n"            \
    "    :param second_dict: second dict to merge\n"          \
    "    :return: merged dict\n"                              \
    "    "

#define CALVORO_MERGE_INPLACE_DOC                                      \
    "\n"                                                               \
    "    Merge 2 dicts recursively.\n" CALVORO_PRECEDENCE_DOC          \
    "\n"                                                               \
    "    First dict will contain merged version, faster in general.\n" \
    "    :param first_dict: first dict to merge, will contain merged " \
    "version\n"                                                        \
    "    :param second_dict: second dict to merge\n"                   \
    "    "

#define CALVORO_MERGE_MANY_DOC                          \
    "\n"                                                \
    "    Merge list of dicts.\n" CALVORO_PRECEDENCE_DOC \
    "    :param dicts: list of dicts\n"                 \
    "    :return: merged dict\n"                        \
    "    "

#define CALVORO_MERGE_MANY_INPLACE_DOC                         \
    "\n"                                                       \
    "    Merge list of dicts inplace\n" CALVORO_PRECEDENCE_DOC \
    "\n"                                                       \
    "    :param dicts: list of dicts\n"                        \
    "    "
