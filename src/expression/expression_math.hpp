#pragma once
// The arithmetic of one instruction, value and partial derivatives, shared
// by the scalar loop (expression.cpp) and the loops over arrays
// (catalogue/array_evaluation.cpp): inline, so that a loop whose operation
// is fixed compiles to that operation alone, and the same bits either way.

#include <cmath>

#include "expression/expression.hpp"

namespace veldra {

// Whether `op` takes two operands.
inline bool is_binary(Op op) { return op >= Op::Add && op <= Op::Pow; }

// A square is the correctly rounded product; libm's pow misrounds about one
// square in a thousand, and a product runs at array speed.
inline double power(double a, double b) { return b == 2.0 ? a * a : std::pow(a, b); }

using UnaryFunction = double (*)(double);
// The libm function a formula calls as `function`.
UnaryFunction function_code(Function function) noexcept;

// ln 10 as libm computes it at run time, as the reference's math.log(10.0) is.
double ln10();

// The value of an instruction other than Number, Load and Call at its
// operand values (b unused by Neg).
inline double operate(Op op, double a, double b) {
    switch (op) {
    case Op::Neg: return -a;
    case Op::Add: return a + b;
    case Op::Sub: return a - b;
    case Op::Mul: return a * b;
    case Op::Div: return a / b;
    default: return power(a, b);
    }
}

// ∂result/∂(operand 0 or 1) of one instruction at its forward values; the
// same formulas as the reference, operand for operand, so the same bits.
inline double partial(Op op, Function function, int operand, double a, double b, double result) {
    switch (op) {
    case Op::Neg: return -1.0;
    case Op::Add: return 1.0;
    case Op::Sub: return operand == 0 ? 1.0 : -1.0;
    case Op::Mul: return operand == 0 ? b : a;
    case Op::Div: return operand == 0 ? 1.0 / b : -(result / b);
    case Op::Pow: return operand == 0 ? b * std::pow(a, b - 1.0) : result * std::log(a);
    default: break;
    }
    switch (function) {
    case Function::Sqrt: return 0.5 / result;
    case Function::Exp: return result;
    case Function::Log: return 1.0 / a;
    case Function::Log10: return 1.0 / (a * ln10());
    case Function::Sin: return std::cos(a);
    case Function::Cos: return -std::sin(a);
    case Function::Tan: return 1.0 + result * result;
    case Function::Asin: return 1.0 / std::sqrt(1.0 - a * a);
    case Function::Acos: return -1.0 / std::sqrt(1.0 - a * a);
    case Function::Atan: return 1.0 / (1.0 + a * a);
    case Function::Sinh: return std::cosh(a);
    case Function::Cosh: return std::sinh(a);
    case Function::Tanh: break;
    }
    return 1.0 - result * result;
}

}  // namespace veldra
