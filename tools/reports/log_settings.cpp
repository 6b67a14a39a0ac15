// SPDX-License-Identifier: Apache-2.0
// The settings file of the reports, read with toml++: every mistake is named with its
// file and line, and money is read from its decimal text into integers, never through
// a binary fraction.
#include "tools/reports/log_settings.h"

#include "tools/common/case_fold.h"
#include "tools/common/errors.h"
#include "tools/reports/group_key.h"

#include <toml++/toml.h>

#include <cctype>
#include <map>
#include <tuple>

namespace spoolgate {
namespace {

struct Reader {
  std::string file;

  [[noreturn]] void Fail(const toml::node& at, const std::string& why) const {
    throw InputError(file + ":" + std::to_string(at.source().begin.line) + ": " + why);
  }

  std::string Text(const toml::node& node, const std::string& key) const {
    if (!node.is_string()) Fail(node, key + " must be a text in quotes");
    return std::string(*node.as_string());
  }

  // A price: a decimal text with at most `decimals` places ("0.05"), or a whole number.
  uint64_t Money(const toml::node& node, const std::string& key, unsigned decimals) const {
    if (node.is_integer()) {
      int64_t whole = node.as_integer()->get();
      uint64_t scale = 1;
      for (unsigned i = 0; i < decimals; ++i) scale *= 10;
      if (whole < 0 || uint64_t(whole) > UINT64_MAX / scale) Fail(node, key + ": not a price");
      return uint64_t(whole) * scale;
    }
    if (node.is_floating_point()) {
      Fail(node, key + ": write a price as a text, \"0.05\", so that it is read exactly");
    }
    std::string text = Text(node, key);
    uint64_t units = 0;
    unsigned places = 0;
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
      if (point && ++places > decimals) {
        Fail(node, key + " = \"" + text + "\": more than " + std::to_string(decimals) +
                       " decimals (set decimals = N at the top of the file)");
      }
      if (units > (UINT64_MAX - 9) / 10) Fail(node, key + " = \"" + text + "\": too large");
      units = units * 10 + uint64_t(c - '0');
    }
    if (!digits) Fail(node, key + " = \"" + text + "\": not a price");
    for (; places < decimals; ++places) {
      if (units > UINT64_MAX / 10) Fail(node, key + " = \"" + text + "\": too large");
      units *= 10;
    }
    return units;
  }
};

// [columns]: names of the log's columns first, then products of two named or log columns.
void ReadColumns(const Reader& r, const toml::table& columns, Settings& s) {
  for (int pass = 0; pass < 2; ++pass) {
    for (auto&& [key, node] : columns) {
      std::string name(key.str());
      std::string target = r.Text(node, name);
      size_t times = target.find('*');
      if ((times != std::string::npos) != (pass == 1)) continue;
      if (FindGrouping(name) != nullptr) {
        r.Fail(node, "'" + name + "' is a report grouping of its own; choose another name");
      }
      if (pass == 1) {
        Settings::Product p{{nullptr, nullptr, ColumnKind::kInteger}, name, {nullptr, nullptr}};
        for (int i = 0; i < 2; ++i) {
          std::string factor = i == 0 ? target.substr(0, times) : target.substr(times + 1);
          factor.erase(0, factor.find_first_not_of(' '));
          factor.erase(factor.find_last_not_of(' ') + 1);
          const LineColumn* c = ResolveColumn(s, factor);
          if (c == nullptr || c->kind != ColumnKind::kInteger || ProductOf(s, c) != nullptr) {
            r.Fail(node, name + " = \"" + target + "\": '" + factor + "' is not a numeric column of the log or a name of one");
          }
          p.factors[i] = c;
        }
        if (FindLineColumn(name) != nullptr) r.Fail(node, "'" + name + "' is a column of the log; choose another name");
        s.products->push_back(std::move(p));
        Settings::Product& stored = s.products->back();  // a deque: its place stays
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
}

}  // namespace

const Settings::Product* ProductOf(const Settings& settings, const LineColumn* column) {
  for (const Settings::Product& p : *settings.products) {
    if (&p.column == column) return &p;
  }
  return nullptr;
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
    } else if (k != "columns" && k != "price") {
      r.Fail(node, "unknown setting '" + k + "' (currency, decimals, [columns], [[price]])");
    }
  }
  const toml::table* columns = root["columns"].as_table();
  if (root.contains("columns") && columns == nullptr) r.Fail(*root.get("columns"), "columns must be a table, [columns]");
  if (columns != nullptr) ReadColumns(r, *columns, s);
  if (s.names.empty()) {
    throw InputError(path + ":1: names no column: a [columns] table such as pages = \"value_252\" "
                            "says what the driver's columns carry");
  }
  const toml::array* prices = root["price"].as_array();
  if (root.contains("price") && prices == nullptr) r.Fail(*root.get("price"), "price must be a list of tables, [[price]]");
  std::map<std::tuple<bool, std::string, bool, std::string, bool, std::string>, int> seen;
  if (prices != nullptr) {
    for (const toml::node& item : *prices) {
      const toml::table* t = item.as_table();
      if (t == nullptr) r.Fail(item, "each price is a table, [[price]]");
      Price p;
      p.line = int(item.source().begin.line);
      for (auto&& [key, node] : *t) {
        std::string k(key.str());
        if (k == "printer") {
          p.printer = FoldCase(r.Text(node, k)), p.hasPrinter = true;
        } else if (k == "computer") {
          p.computer = FoldCase(r.Text(node, k)), p.hasComputer = true;
        } else if (k == "job") {
          p.job = r.Money(node, k, s.decimals);
        } else if (k == "per") {
          const toml::table* units = node.as_table();
          if (units == nullptr) r.Fail(node, "per must be a table of named columns, per.pages = \"0.02\"");
          for (auto&& [unitKey, unit] : *units) {
            std::string name(unitKey.str());
            const LineColumn* c = ResolveColumn(s, name);
            if (c == nullptr) r.Fail(unit, "per." + name + ": no column of that name in [columns] or the log");
            if (c->kind != ColumnKind::kInteger) r.Fail(unit, "per." + name + ": not a numeric column");
            p.per.push_back({c, r.Money(unit, "per." + name, s.decimals)});
          }
        } else {
          const LineColumn* c = ResolveColumn(s, k);
          if (c == nullptr || c->kind != ColumnKind::kText) {
            r.Fail(node, "unknown price key '" + k +
                             "' (printer, computer, job, per.NAME, or a named text column such as the paper)");
          }
          if (s.matchColumn != nullptr && s.matchColumn != c) {
            r.Fail(node, "prices may depend on one column besides printer and computer; " +
                             ColumnHeading(s, s.matchColumn) + " is already that column");
          }
          s.matchColumn = c;
          p.match = FoldCase(r.Text(node, k)), p.hasMatch = true;
        }
      }
      // Looked up, not compared with every earlier price: a file of many thousand prices
      // is read in O(n log n).
      auto [same, added] = seen.emplace(std::tuple{p.hasPrinter, p.printer, p.hasComputer, p.computer, p.hasMatch,
                                                   p.match}, p.line);
      if (!added) r.Fail(item, "a second price for the same jobs as the price of line " + std::to_string(same->second));
      s.prices.push_back(std::move(p));
    }
  }
  return s;
}

const Price* FindPrice(const Settings& settings, const std::string& computer, const std::string& printer,
                       const std::string& match) {
  const Price* best = nullptr;
  int bestScore = -1;
  std::string foldedComputer = FoldCase(computer), foldedPrinter = FoldCase(printer), foldedMatch = FoldCase(match);
  for (const Price& p : settings.prices) {
    if ((p.hasPrinter && p.printer != foldedPrinter) || (p.hasComputer && p.computer != foldedComputer) ||
        (p.hasMatch && p.match != foldedMatch)) {
      continue;
    }
    int score = int(p.hasPrinter) + int(p.hasComputer) + int(p.hasMatch);
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

std::string MoneyText(uint64_t units, unsigned decimals) {
  std::string digits = std::to_string(units);
  if (decimals == 0) return digits;
  if (digits.size() <= decimals) digits.insert(0, decimals + 1 - digits.size(), '0');
  digits.insert(digits.size() - decimals, ".");
  return digits;
}

}  // namespace spoolgate
