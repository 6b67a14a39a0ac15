// SPDX-License-Identifier: Apache-2.0
// The settings file of the reports, read with toml++: every mistake is named with its
// file and line, and money is read from its decimal text into integers, never through
// a binary fraction.
#include "tools/reports/log_settings.h"

#include "tools/reports/directory_settings_toml.h"

#include "tools/common/case_fold.h"
#include "tools/common/errors.h"
#include "tools/reports/group_key.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <set>
#include <tuple>

namespace spoolgate {
namespace {

// A price may be finer than the bill up to this many places.
constexpr unsigned kPricePlaces = 9;
// The places of a computed unit that divides, unless [places] says otherwise: mm² of a
// job in m² are exact to them.
constexpr unsigned kDividedPlaces = 6;

struct Reader {
  std::string file;

  [[noreturn]] void Fail(const toml::node& at, const std::string& why) const {
    throw InputError(file + ":" + std::to_string(at.source().begin.line) + ": " + why);
  }

  std::string Text(const toml::node& node, const std::string& key) const {
    if (!node.is_string()) Fail(node, key + " must be a text in quotes");
    return std::string(*node.as_string());
  }

  // An amount as written: a decimal text of at most maxPlaces places ("0.05"), or a
  // whole number. tooFine: why more places are refused.
  Decimal Amount(const toml::node& node, const std::string& key, unsigned maxPlaces, const std::string& tooFine) const {
    if (node.is_integer()) {
      int64_t whole = node.as_integer()->get();
      if (whole < 0) Fail(node, key + ": not a price");
      return {uint64_t(whole), 0};
    }
    if (node.is_floating_point()) {
      Fail(node, key + ": write a price as a text, \"0.05\", so that it is read exactly");
    }
    std::string text = Text(node, key);
    Decimal d;
    bool point = false, digits = false;
    for (char c : text) {
      if (c == '.' && !point) {
        point = true;
        continue;
      }
      if (!std::isdigit(static_cast<unsigned char>(c))) {
        Fail(node, key + " = \"" + text + "\": not a price (digits, one point)");
      }
      digits = true;
      if (point && ++d.places > maxPlaces) Fail(node, key + " = \"" + text + "\": " + tooFine);
      if (d.digits > (UINT64_MAX - 9) / 10) Fail(node, key + " = \"" + text + "\": too large");
      d.digits = d.digits * 10 + uint64_t(c - '0');
    }
    if (!digits) Fail(node, key + " = \"" + text + "\": not a price");
    return d;
  }

  // An amount in units of 10^-places; false when it is finer than that.
  bool Scaled(const toml::node& node, const std::string& key, const Decimal& d, unsigned places, uint64_t& units) const {
    if (d.places > places) return false;
    units = d.digits;
    for (unsigned i = d.places; i < places; ++i) {
      if (units > UINT64_MAX / 10) Fail(node, key + ": too large");
      units *= 10;
    }
    return true;
  }

  // A price of the bill's places: a job's minimum charge.
  uint64_t Money(const toml::node& node, const std::string& key, unsigned decimals) const {
    uint64_t units = 0;
    Scaled(node, key, Amount(node, key, decimals, "more than " + std::to_string(decimals) + " decimals (a minimum is "
                                                 "charged as written: in the bill's places, decimals = N)"),
           decimals, units);
    return units;
  }

  // A unit price or a price per job: up to 9 places, more than the bill's. Sets perJob
  // when it is finer than the bill, so that each job's cost is rounded once.
  uint64_t Price(const toml::node& node, const std::string& key, unsigned decimals, Decimal& exact, bool& perJob) const {
    exact = Amount(node, key, kPricePlaces, "more than " + std::to_string(kPricePlaces) + " decimals");
    uint64_t units = 0;
    if (!Scaled(node, key, exact, decimals, units)) perJob = true;
    return units;
  }

  // A tax in per cent ("19", "7.7"), in millionths.
  uint32_t Vat(const toml::node& node) const {
    Decimal d = Amount(node, "vat", 4, "more than 4 decimals");
    uint64_t millionths = 0;
    Scaled(node, "vat", d, 4, millionths);
    if (millionths > 1000000) Fail(node, "vat: a tax is at most 100 (per cent)");
    return uint32_t(millionths);
  }
};

// Whether a [columns] value is a column's name rather than an expression.
bool IsColumnName(const std::string& target) {
  return target.find_first_of("*/+-() \t.") == std::string::npos && !target.empty() &&
         !std::isdigit(static_cast<unsigned char>(target[0]));
}

// Whether the value is the product of two numeric columns of the log, "pages * copies",
// as files have written it before units could be expressions; factors set when it is.
bool IsPlainProduct(const Settings& s, const std::string& target, const LineColumn* factors[2]) {
  size_t times = target.find('*');
  if (times == std::string::npos || target.find_first_of("*/+-().", times + 1) != std::string::npos ||
      target.find_first_of("/+-().") < times) {
    return false;
  }
  for (int i = 0; i < 2; ++i) {
    std::string factor = i == 0 ? target.substr(0, times) : target.substr(times + 1);
    factor.erase(0, factor.find_first_not_of(' '));
    factor.erase(factor.find_last_not_of(' ') + 1);
    const LineColumn* c = ResolveColumn(s, factor);
    if (c == nullptr || c->kind != ColumnKind::kInteger || ProductOf(s, c) != nullptr || ComputedOf(s, c) != nullptr) {
      return false;
    }
    factors[i] = c;
  }
  return true;
}

// The computed units' names resolved, their cycles refused, their places set, each after
// the units it reads.
void ResolveComputed(const Reader& r, const toml::table& columns, const toml::table* places, Settings& s) {
  std::map<const Settings::Computed*, int> state;  // 1: being resolved, 2: done
  std::vector<const Settings::Computed*> path;
  auto at = [&](const Settings::Computed& u) -> const toml::node& { return *columns.get(u.name); };
  std::function<void(Settings::Computed&)> resolve = [&](Settings::Computed& u) {
    int& st = state[&u];
    if (st == 2) return;
    if (st == 1) {
      std::string cycle;
      auto from = std::find(path.begin(), path.end(), &u);
      for (auto it = from; it != path.end(); ++it) cycle += (*it)->name + " -> ";
      const Settings::Computed& first = **from;
      r.Fail(at(first), first.name + " = \"" + std::string(*at(first).as_string()) + "\": a cycle of units, " + cycle +
                            u.name);
    }
    st = 1;
    path.push_back(&u);
    unsigned own = u.expression.divides ? kDividedPlaces : 0;
    u.operands.assign(u.expression.steps.size(), nullptr);
    u.operandUnits.assign(u.expression.steps.size(), nullptr);
    u.operandProducts.assign(u.expression.steps.size(), nullptr);
    for (size_t i = 0; i < u.expression.steps.size(); ++i) {
      const UnitExpression::Step& step = u.expression.steps[i];
      if (step.kind != UnitExpression::Step::kName) continue;
      const LineColumn* c = ResolveColumn(s, step.name);
      if (c == nullptr || c->csv == nullptr || c->kind != ColumnKind::kInteger) {
        r.Fail(at(u), u.name + " = \"" + std::string(*at(u).as_string()) + "\": '" + step.name +
                          "' is not a numeric column of the log or a name of one");
      }
      for (Settings::Computed& other : *s.computed) {
        if (&other.column != c) continue;
        resolve(other);
        own = std::max(own, other.places);
      }
      u.operands[i] = c;
      u.operandUnits[i] = ComputedOf(s, c);
      u.operandProducts[i] = ProductOf(s, c);
    }
    u.places = own;
    if (places != nullptr && places->contains(u.name)) {
      const toml::node& n = *places->get(u.name);
      if (!n.is_integer() || n.as_integer()->get() < 0 || n.as_integer()->get() > 9) {
        r.Fail(n, "places." + u.name + " must be a whole number from 0 to 9");
      }
      u.places = unsigned(n.as_integer()->get());
    }
    path.pop_back();
    st = 2;
  };
  for (Settings::Computed& u : *s.computed) resolve(u);
  if (places != nullptr) {
    for (auto&& [key, node] : *places) {
      const LineColumn* c = ResolveColumn(s, std::string(key.str()));
      if (c == nullptr || ComputedOf(s, c) == nullptr) {
        r.Fail(node, "places." + std::string(key.str()) + ": not a unit computed in [columns]");
      }
    }
  }
}

// [columns]: names of the log's columns first, then products of two of them as before,
// then units computed by expressions over any of these.
void ReadColumns(const Reader& r, const toml::table& columns, const toml::table* places, Settings& s) {
  for (int pass = 0; pass < 2; ++pass) {
    for (auto&& [key, node] : columns) {
      std::string name(key.str());
      std::string target = r.Text(node, name);
      if (IsColumnName(target) == (pass == 1)) continue;
      if (FindGrouping(name) != nullptr) {
        r.Fail(node, "'" + name + "' is a report grouping of its own; choose another name");
      }
      if (pass == 1) {
        if (FindLineColumn(name) != nullptr) r.Fail(node, "'" + name + "' is a column of the log; choose another name");
        Settings::Product p{{nullptr, nullptr, ColumnKind::kInteger}, name, {nullptr, nullptr}};
        if (IsPlainProduct(s, target, p.factors)) {
          s.products->push_back(std::move(p));
          Settings::Product& stored = s.products->back();  // a deque: its place stays
          stored.column.csv = stored.column.db = stored.name.c_str();
          s.names.push_back({name, &stored.column});
          continue;
        }
        Settings::Computed u{{nullptr, nullptr, ColumnKind::kInteger}, name, {}, {}, {}, {}, 0, int(node.source().begin.line)};
        std::string why;
        if (!ParseUnitExpression(target, u.expression, why)) r.Fail(node, name + " = \"" + target + "\": " + why);
        s.computed->push_back(std::move(u));
        Settings::Computed& stored = s.computed->back();
        stored.column.csv = stored.column.db = stored.name.c_str();
        s.names.push_back({name, &stored.column});
        continue;
      }
      const LineColumn* c = FindLineColumn(target);
      if (c == nullptr || c->csv == nullptr) r.Fail(node, name + " = \"" + target + "\": no such column of the log");
      if (FindLineColumn(name) != nullptr && FindLineColumn(name) != c) {
        r.Fail(node, "'" + name + "' is a column of the log; choose another name");
      }
      s.names.push_back({name, c});
    }
  }
  ResolveComputed(r, columns, places, s);
}

}  // namespace

const Settings::Product* ProductOf(const Settings& settings, const LineColumn* column) {
  for (const Settings::Product& p : *settings.products) {
    if (&p.column == column) return &p;
  }
  return nullptr;
}

const Settings::Computed* ComputedOf(const Settings& settings, const LineColumn* column) {
  for (const Settings::Computed& u : *settings.computed) {
    if (&u.column == column) return &u;
  }
  return nullptr;
}

std::vector<const LineColumn*> InputColumns(const Settings& settings, const LineColumn* column) {
  std::vector<const LineColumn*> out;
  auto add = [&](const LineColumn* c) {
    if (std::find(out.begin(), out.end(), c) == out.end()) out.push_back(c);
  };
  if (const Settings::Product* p = ProductOf(settings, column)) {
    add(p->factors[0]);
    add(p->factors[1]);
  } else if (const Settings::Computed* u = ComputedOf(settings, column)) {
    for (const LineColumn* operand : u->operands) {
      if (operand == nullptr) continue;
      for (const LineColumn* c : InputColumns(settings, operand)) add(c);
    }
  } else {
    add(column);
  }
  return out;
}

const LineColumn* ResolveColumn(const Settings& settings, const std::string& name) {
  for (const auto& n : settings.names) {
    if (n.name == name) return n.column;
  }
  const LineColumn* c = FindLineColumn(name);
  return c;
}

std::string ColumnHeading(const Settings& settings, const LineColumn* column) {
  for (const auto& n : settings.names) {
    if (n.column == column) return n.name;
  }
  return column->csv;
}

namespace {

// What a price names: printer, computer, then its selectors, as (column, value) pairs.
std::vector<std::pair<const LineColumn*, const std::string*>> Named(const Price& p) {
  static const LineColumn* const printer = FindLineColumn("printer");
  static const LineColumn* const computer = FindLineColumn("computer");
  std::vector<std::pair<const LineColumn*, const std::string*>> named;
  if (p.hasPrinter) named.push_back({printer, &p.printer});
  if (p.hasComputer) named.push_back({computer, &p.computer});
  for (const Price::Selector& sel : p.selectors) named.push_back({sel.column, &sel.value});
  return named;
}

// Pairs of prices that name as many columns, different sets of them, and agree on the
// columns both name: a job with every value of both matches both, and neither names more.
// Prices are put in classes by the set of columns they name; a class is compared with
// another of the same size through an index of its values on the columns they share, so
// that a file of thousands of prices by printer is checked in about n log n.
void FindTies(const Settings& s, const std::function<void(const Price&, const Price&)>& tie) {
  std::map<std::vector<const LineColumn*>, std::vector<const Price*>> classes;
  for (const Price& p : s.prices) {
    std::vector<const LineColumn*> set;
    for (auto& [column, value] : Named(p)) set.push_back(column);
    std::sort(set.begin(), set.end());
    classes[set].push_back(&p);
  }
  for (auto a = classes.begin(); a != classes.end(); ++a) {
    for (auto b = std::next(a); b != classes.end(); ++b) {
      if (a->first.size() != b->first.size() || a->first.empty()) continue;
      std::vector<const LineColumn*> shared;
      std::set_intersection(a->first.begin(), a->first.end(), b->first.begin(), b->first.end(),
                            std::back_inserter(shared));
      auto project = [&](const Price& p) {
        std::vector<std::string> values;
        auto named = Named(p);
        std::sort(named.begin(), named.end());
        for (auto& [column, value] : named) {
          if (std::binary_search(shared.begin(), shared.end(), column)) values.push_back(*value);
        }
        return values;
      };
      std::map<std::vector<std::string>, const Price*> first;  // of b, by shared values
      for (const Price* q : b->second) first.emplace(project(*q), q);
      for (const Price* p : a->second) {
        auto hit = first.find(project(*p));
        if (hit != first.end()) tie(*p, *hit->second);
      }
    }
  }
}

}  // namespace

Settings LoadSettings(const std::string& path) {
  Settings s;
  s.file = path;
  Reader r{path};
  toml::table root;
  try {
    root = toml::parse_file(path);
  } catch (const toml::parse_error& e) {
    std::string why(e.description());
    if (e.source().begin.line == 0) throw InputError(path + ": cannot be read (" + why + ")");
    throw InputError(path + ":" + std::to_string(e.source().begin.line) + ": " + why);
  }
  for (auto&& [key, node] : root) {
    std::string k(key.str());
    if (k == "currency") {
      s.currency = r.Text(node, k);
    } else if (k == "decimals") {
      if (!node.is_integer() || node.as_integer()->get() < 0 || node.as_integer()->get() > 6) {
        r.Fail(node, "decimals must be a whole number from 0 to 6");
      }
      s.decimals = unsigned(node.as_integer()->get());
    } else if (k == "rounding") {
      std::string rule = r.Text(node, k);
      if (rule != "half-up" && rule != "half-even") r.Fail(node, "rounding = \"" + rule + "\": half-up or half-even");
      s.rounding = rule == "half-up" ? Rounding::kHalfUp : Rounding::kHalfEven;
    } else if (k == "directory") {
      ReadDirectorySettings(path, node, s.directory);
    } else if (k != "columns" && k != "price" && k != "places" && k != "minimum" && k != "vat") {
      r.Fail(node, "unknown setting '" + k + "' (currency, decimals, rounding, minimum, vat, [columns], [places], "
                   "[[price]], [directory])");
    }
  }
  // Read once decimals is known, whatever the order of the file.
  uint64_t minimum = 0;
  uint32_t vat = 0;
  if (const toml::node* n = root.get("minimum")) minimum = r.Money(*n, "minimum", s.decimals);
  if (const toml::node* n = root.get("vat")) vat = r.Vat(*n), s.hasVat = true;
  const toml::table* columns = root["columns"].as_table();
  if (root.contains("columns") && columns == nullptr) r.Fail(*root.get("columns"), "columns must be a table, [columns]");
  const toml::table* places = root["places"].as_table();
  if (root.contains("places") && places == nullptr) r.Fail(*root.get("places"), "places must be a table, [places]");
  if (places != nullptr && columns == nullptr) r.Fail(*root.get("places"), "[places] without [columns]");
  if (columns != nullptr) ReadColumns(r, *columns, places, s);
  if (s.names.empty() && !s.directory.on) {
    throw InputError(path + ":1: names no column: a [columns] table such as pages = \"value_252\" "
                            "says what the driver's columns carry");
  }
  const toml::array* prices = root["price"].as_array();
  if (root.contains("price") && prices == nullptr) r.Fail(*root.get("price"), "price must be a list of tables, [[price]]");
  std::map<std::vector<std::pair<const LineColumn*, std::string>>, int> seen;
  if (prices != nullptr) {
    for (const toml::node& item : *prices) {
      const toml::table* t = item.as_table();
      if (t == nullptr) r.Fail(item, "each price is a table, [[price]]");
      Price p;
      p.line = int(item.source().begin.line);
      p.minimum = minimum;
      p.vat = vat;
      for (auto&& [key, node] : *t) {
        std::string k(key.str());
        if (k == "printer") {
          p.printer = FoldCase(r.Text(node, k)), p.hasPrinter = true;
        } else if (k == "computer") {
          p.computer = FoldCase(r.Text(node, k)), p.hasComputer = true;
        } else if (k == "job") {
          p.job = r.Price(node, k, s.decimals, p.jobExact, s.perJob);
        } else if (k == "minimum") {
          p.minimum = r.Money(node, k, s.decimals);
        } else if (k == "vat") {
          p.vat = r.Vat(node), s.hasVat = true;
        } else if (k == "per") {
          const toml::table* units = node.as_table();
          if (units == nullptr) r.Fail(node, "per must be a table of named columns, per.pages = \"0.02\"");
          for (auto&& [unitKey, unit] : *units) {
            std::string name(unitKey.str());
            const LineColumn* c = ResolveColumn(s, name);
            if (c == nullptr) r.Fail(unit, "per." + name + ": no column of that name in [columns] or the log");
            if (c->kind != ColumnKind::kInteger) r.Fail(unit, "per." + name + ": not a numeric column");
            Price::Unit u{c, 0, {}};
            u.price = r.Price(unit, "per." + name, s.decimals, u.exact, s.perJob);
            // A unit of places is priced finer than its whole units: job by job.
            if (const Settings::Computed* computed = ComputedOf(s, c); computed != nullptr && computed->places != 0) {
              s.perJob = true;
            }
            p.per.push_back(u);
          }
        } else {
          const LineColumn* c = ResolveColumn(s, k);
          if (c == nullptr || c->kind != ColumnKind::kText) {
            r.Fail(node, "unknown price key '" + k +
                             "' (printer, computer, job, per.NAME, minimum, vat, or a named text column such as the paper)");
          }
          auto at = std::find(s.matchColumns.begin(), s.matchColumns.end(), c);
          if (at == s.matchColumns.end()) at = s.matchColumns.insert(at, c);
          p.selectors.push_back({c, size_t(at - s.matchColumns.begin()), FoldCase(r.Text(node, k))});
        }
      }
      if (p.minimum != 0) s.perJob = true;
      // Looked up, not compared with every earlier price: a file of many thousand prices
      // is read in O(n log n).
      std::vector<std::pair<const LineColumn*, std::string>> named;
      for (auto& [column, value] : Named(p)) named.push_back({column, *value});
      std::sort(named.begin(), named.end());
      auto [same, added] = seen.emplace(named, p.line);
      if (!added) r.Fail(item, "a second price for the same jobs as the price of line " + std::to_string(same->second));
      s.prices.push_back(std::move(p));
    }
  }
  // A job matched by two prices naming as many columns: a file that prices by at most one
  // column besides printer and computer took the first of them, and still does; where
  // prices name more, the file must say which wins.
  bool earlierForm = s.matchColumns.size() <= 1;
  FindTies(s, [&](const Price& a, const Price& b) {
    const Price& first = a.line < b.line ? a : b;
    const Price& second = a.line < b.line ? b : a;
    std::string both = "the prices of lines " + std::to_string(first.line) + " and " + std::to_string(second.line) +
                       " name as many columns and both match a job that has the values of both";
    if (!earlierForm) {
      throw InputError(path + ":" + std::to_string(second.line) + ": " + both +
                       "; add a price naming the columns of both, or name a column in one of them that the other "
                       "leaves open");
    }
    s.warnings.push_back(path + ":" + std::to_string(second.line) + ": " + both + "; such a job takes the first, line " +
                         std::to_string(first.line));
  });
  std::sort(s.warnings.begin(), s.warnings.end());
  return s;
}

const Price* FindPrice(const Settings& settings, const std::string& computer, const std::string& printer,
                       const std::vector<std::string>& matches) {
  const Price* best = nullptr;
  size_t bestScore = 0;
  std::string foldedComputer = FoldCase(computer), foldedPrinter = FoldCase(printer);
  std::vector<std::string> folded(matches.size());
  for (size_t i = 0; i < matches.size(); ++i) folded[i] = FoldCase(matches[i]);
  for (const Price& p : settings.prices) {
    if ((p.hasPrinter && p.printer != foldedPrinter) || (p.hasComputer && p.computer != foldedComputer)) continue;
    bool all = true;
    for (const Price::Selector& sel : p.selectors) all = all && sel.index < folded.size() && folded[sel.index] == sel.value;
    if (!all) continue;
    size_t score = 1 + size_t(p.hasPrinter) + size_t(p.hasComputer) + p.selectors.size();
    if (score > bestScore) best = &p, bestScore = score;
  }
  return best;
}

void AddCost(uint64_t& money, uint64_t a, uint64_t b) {
  if (a != 0 && b > UINT64_MAX / a) throw InputError("--cost: a cost passes 18446744073709551615 units");
  uint64_t product = a * b;
  if (product > UINT64_MAX - money) throw InputError("--cost: a cost passes 18446744073709551615 units");
  money += product;
}

uint64_t RoundTax(const Settings& settings, Uint128 taxMillionths) {
  Uint128 tax = RoundQuotient(taxMillionths, 1000000, settings.rounding);
  if (tax > UINT64_MAX) throw InputError("--cost: a cost passes 18446744073709551615 units");
  return uint64_t(tax);
}

std::string MoneyText(uint64_t units, unsigned decimals) {
  std::string digits = std::to_string(units);
  if (decimals == 0) return digits;
  if (digits.size() <= decimals) digits.insert(0, decimals + 1 - digits.size(), '0');
  digits.insert(digits.size() - decimals, ".");
  return digits;
}

}  // namespace spoolgate
