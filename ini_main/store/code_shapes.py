"""A step of the build: the served text read by Python's own compiler.

For each method of the text's class, in the order of its defs: the variable
names of its code object, how many of them are parameters, and how many of
those a call must pass.  Written as a C++ header, from which the rows take
them, so that the compiled code objects hold what Python makes of the text.
Usage: code_shapes.py TEXT HEADER
"""
import ast
import sys
import types


def shapes(text):
    tree = ast.parse(text, "ini_main.py")
    module = compile(tree, "ini_main.py", "exec")
    [store] = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "TovrelIniMain"]
    [body] = [code for code in module.co_consts if isinstance(code, types.CodeType) and code.co_name == store.name]
    defs = [node for node in store.body if isinstance(node, ast.FunctionDef)]
    codes = [code for code in body.co_consts if isinstance(code, types.CodeType)]
    for node, code in zip(defs, codes, strict=True):
        args = node.args
        defaults = [ast.literal_eval(default) for default in args.defaults]
        # The frame's method objects share one defaults tuple, (True,), and
        # bind plain positional-or-keyword parameters only.
        if (args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg or node.decorator_list
                or node.returns or any(arg.annotation for arg in args.args)
                or defaults not in ([], [True]) or defaults and args.args[-1].arg != "save"):
            sys.exit(f"ini_main.py, line {node.lineno}: def {node.name}: a row takes plain parameters, "
                     "the only default a last save=True")
        yield node.name, code.co_varnames, code.co_argcount, code.co_argcount - len(defaults)


def header(text):
    table = list(shapes(text))
    rows = "".join(
        f'    {{"{name}", {{{", ".join(f'"{each}"' for each in names)}}}, {len(names)}, {argcount}, {required}}},\n'
        for name, names, argcount, required in table)
    return f"""\
// Made by the build (store/code_shapes.py) from store/source_text.py: edit that file, not this one.
#pragma once

#include <string_view>

namespace ini_main::store {{

// What Python's own compiler makes of each method of the text, in the order
// of the defs: its code object's variable names, parameters first, how many
// are parameters, and how many of those a call must pass.
struct CodeShape {{
    std::string_view name;
    std::string_view varnames[{max(len(names) for _, names, _, _ in table)}];
    int varname_count;
    int argcount;
    int required;
}};

inline constexpr CodeShape kCodeShapes[] = {{
{rows}}};

}}  // namespace ini_main::store
"""


if __name__ == "__main__":
    source, target = sys.argv[1:]
    with open(source, encoding="ascii") as file:
        made = header(file.read())
    with open(target, "w", encoding="ascii") as file:
        file.write(made)
