// Selected paths may hold "*" in any component ("/home/*/Documents"): they
// stand for every existing path that matches, component by component.
#pragma once

#include <QString>
#include <QStringList>

// The existing paths that a selected path with "*" names, in listing order.
// Trailing "/*" components are dropped first (they select the folder
// itself). Links are not followed.
QStringList expandPath(const QString& path);
